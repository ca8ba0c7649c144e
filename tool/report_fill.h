#pragma once

#include <cstdint>

#include "report/run_report.h"
#include "runtime/string.h"
#include "tool/output_kinds.h"

struct Group;
struct InputHeader;
struct PlannedFile;
struct RunContext;
struct Sample;
struct CurveTrace;
struct LoudnessReport;
struct ToolConfig;

// Filling the run report from what the pipeline has at hand. Every function
// accepts a null report record (no report asked for, or an earlier failure
// to allocate one) and then does nothing; a failure to allocate inside the
// report only loses that piece of the report, never the run.

// The run's version, command line and every effective setting of the table.
void report_fill_run(RunReport* r, const ToolConfig* cfg, int argc, char** argv);

// A group's or a child's record of its own, to be handed to the report
// (report_adopt_group, report_adopt_child) when the run takes the work in;
// null when there is no report (`r` null) or no memory.
ReportGroup* report_begin_group(const RunReport* r, const Group* group);
ReportChild* report_begin_child(const RunReport* r, const String* name);

// Rate, channels, frames and sample peak of `audio` (its own rate); `path`
// replaces the recorded path when not null.
void report_fill_audio(ReportAudioInfo* info, const String* path, const Sample& audio,
                       const LoudnessReport* loudness);

// An input as its file describes it (its own rate, channels and length),
// with the sample peak of the loaded audio. `header` is the one the
// preflight kept for it (preflight_input_header); where it asked none, the
// file's header is read now.
void report_fill_input(ReportAudioInfo* info, const ToolConfig* cfg, const String* name, const InputHeader* header,
                       const Sample& loaded);
// The same for an input read a block at a time: its shape and its peak.
void report_fill_input_peak(ReportAudioInfo* info, const ToolConfig* cfg, const String* name,
                            const InputHeader* header, const Sample& shape, float peak);

// The channel average of a profile's bins 0 .. N/2 at `rate`.
void report_fill_spectrum(ReportSpectrum* s, const Sample& profile, uint64_t rate);

// The computed and applied curves of `trace`, the bins any limit clamped.
void report_fill_curves(ReportChild* c, const CurveTrace& trace, uint64_t rate, unsigned rank);

// The processed output: its file, shape, peak (in dBFS) and loudness; the
// audio as report_fill_audio does it, from a shape and a peak.
void report_fill_audio_shape(ReportAudioInfo* info, const String* path, uint64_t rate, uint64_t channels,
                             uint64_t frames, double peak_db, const LoudnessReport* loudness);
void report_fill_output_shape(ReportChild* c, uint64_t rate, uint64_t channels, uint64_t frames, double peak_db,
                              const PlannedFile* planned, const LoudnessReport& loudness);

// A file written, or kept as up to date, for a child (`c`) or for the
// group (`c` null), listed as its kind's row says (nothing for a kind the report does not list).
void report_add_written(const RunContext* ctx, ReportGroup* g, ReportChild* c, OutputKind kind,
                        const String* path);

void report_group_failed(ReportGroup* g, int status);
void report_child_failed(ReportChild* c, int status, const char* message);
void report_child_skipped(ReportChild* c, const char* message);
// A child whose channel count differs from its master's: failed, status 0
// (the run's status stays 0), "channels differ".
void report_child_channels_differ(ReportChild* c);
// Adds the record of a child the group did not reach: it carries nothing
// of a run that may have started it.
void report_child_not_reached(ReportGroup* g, const String* name);
