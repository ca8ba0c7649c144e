#include "tool/man_page.h"

#include "tool/settings.h"

void write_man_page(FILE* out) {
  std::fprintf(out, ".TH TIMBRAL 1 \"\" \"timbral %s\" \"User Commands\"\n", TIMBRAL_VERSION);
  std::fputs(
      ".SH NAME\n"
      "timbral \\- timbral correction and auto\\-mastering of audio recordings\n"
      ".SH SYNOPSIS\n"
      ".B timbral\n"
      "\\fB\\-c\\fR \\fIconfig.json5\\fR [\\fIoptions\\fR]\n"
      ".br\n"
      ".B timbral\n"
      "\\fB\\-mf\\fR \\fImaster\\fR \\fB\\-cf\\fR \\fIchild\\fR ... [\\fIoptions\\fR]\n"
      ".SH DESCRIPTION\n"
      "Files are arranged in groups of one master and any number of children. For every child the\n"
      "long\\-term average spectra of master and child are measured, an impulse response is built\n"
      "from their ratio, trimmed and faded, and convolved; dry and wet signal are mixed, normalized\n"
      "and written under names given by templates. By default (timbral correction) the master is\n"
      "given each child's timbre; with \\fB\\-m true\\fR (auto\\-mastering) each child is given the\n"
      "master's timbre.\n"
      ".PP\n"
      "Every option but \\fB\\-h\\fR and \\fB\\-V\\fR takes exactly one value, the next argument (a\n"
      "long option also after \\fB=\\fR in the same argument, as in \\fB\\-\\-loudness=\\-16\\fR), and\n"
      "may be given once (\\fB\\-cf\\fR any number of times, and \\fB\\-mf\\fR in mastering mode: several\n"
      "references). Command\\-line values override the\n"
      "configuration file. A level set in the file is switched off on the command line with the\n"
      "value \\fBoff\\fR (so are the boost and cut limits); another curve setting with \\fB0\\fR\n"
      "(\\fBlinear\\fR for the phase).\n"
      ".SH OPTIONS\n",
      out);
  for (size_t i = 0; i < SETTINGS_COUNT; ++i) {
    const SettingRow& row = *setting_in_help_order(i);
    std::fputs(".TP\n\\fB", out);
    if (row.short_name[0]) {
      roff_text(out, row.short_name);
      std::fputs("\\fR, \\fB", out);
    }
    roff_text(out, row.long_name);
    std::fputs("\\fR", out);
    if (row.kind != SETTING_ACTION) {
      std::fputs(" \\fI", out);
      roff_text(out, row.value_name);
      std::fputs("\\fR", out);
    }
    std::fputs("\n", out);
    roff_text(out, row.help);
    std::fputs(".\n", out);
    if (setting_codec(&row)->manual) setting_codec(&row)->manual(out, &row);
    if (row.default_text[0]) {
      std::fputs("Default: ", out);
      roff_text(out, row.default_text);
      std::fputs(". ", out);
    }
    if (row.key) {
      std::fputs("Configuration key: \\fB", out);
      if (row.flags & SETTING_IN_IR) std::fputs("ir.", out);
      roff_text(out, row.key);
      std::fputs("\\fR.", out);
    } else {
      std::fputs("Command line only.", out);
    }
    std::fputs("\n", out);
  }
  std::fputs(
      ".SH CONFIGURATION FILE\n"
      "JSON with the JSON5 extensions (comments, unquoted keys, single quotes, trailing commas,\n"
      "hexadecimal numbers). The keys are those listed above; keys marked \\fBir.\\fR live in the\n"
      "\\fBir\\fR object. Groups are given as\n"
      ".PP\n"
      ".nf\n"
      "  groups: { drums: { master: 'kit.wav', files: ['snare.wav', 'tom.wav'] } }\n"
      ".fi\n"
      ".PP\n"
      "An unknown key is skipped with a warning naming the closest known key. A mistake makes the\n"
      "run fail with status 7 and a line giving its line, column and cause.\n"
      ".SH TEMPLATES\n"
      "An output name is literal text with embedded expressions \\fB${...}\\fR; \\fB$$\\fR writes a\n"
      "single $. Pattern variables: \\fBsrate\\fR, \\fBgroup\\fR, \\fBmaster\\fR, \\fBmaster_name\\fR,\n"
      "\\fBmaster_ext\\fR, \\fBmaster_dir\\fR, \\fBfile\\fR, \\fBfile_name\\fR, \\fBfile_ext\\fR,\n"
      "\\fBfile_dir\\fR and \\fBfile_index\\fR (the child's 1\\-based position in its group).\n"
      "Inside an expression a variable is written with a colon: \\fB${uc :file_name}\\fR.\n"
      "Every output name of the run is worked out before any file is read; a run whose output\n"
      "would replace one of its inputs, or two of whose outputs share a path, is refused. Then every\n"
      "input the run will load is opened and its header read, once per file; one that cannot be\n"
      "opened ends the run, dry or not, before any work, with the lines and status of its load\n"
      "(with \\fB\\-k\\fR it is skipped where the run meets it). A dry run also warns of a child\n"
      "whose channels its master's cannot serve and of a rate the load will refuse.\n"
      ".SH EXIT STATUS\n"
      "0 success (also after \\fB\\-h\\fR and \\fB\\-V\\fR); 4 audio\\-library error; 5 out of memory;\n"
      "6 file not found; 7 bad configuration, template or keyword; 8 unsupported sample rate or output\n"
      "format; 9 malformed audio file (also non\\-finite samples); 13 usage error or contradicting\n"
      "settings; 17 an output would replace an input or another output, or an entry exists where a\n"
      "directory is needed; 18 name too long or no space; 22 permission denied; 23 input/output\n"
      "error; 28 bad option value; 42 a directory where a file was expected; 43 a path component\n"
      "is not a directory; 55 a shard report that \\fB\\-\\-merge\\-reports\\fR cannot read. With\n"
      "\\fB\\-k\\fR the status is that of the first failure.\n"
      ".SH EXAMPLES\n"
      ".nf\n"
      "timbral \\-mf kit.wav \\-cf snare.wav \\-cf tom.wav \\-sr 44100 \\-dg \\-20 \\-d out\n"
      "timbral \\-mf ref.wav \\-cf mix.wav \\-m true \\-sm 0.333 \\-mb 12 \\-mc 12 \\-lu \\-14 \\-tp \\-1\n"
      "timbral \\-c session.json5 \\-k true \\-se true \\-r report\n"
      "timbral \\-c session.json5 \\-dr true\n"
      "timbral \\-c session.json5 \\-sh 3/16 \\-r report\n"
      "timbral \\-\\-merge\\-reports out/report\n"
      ".fi\n"
      ".SH SEE ALSO\n"
      "The README of the source distribution.\n",
      out);
}
