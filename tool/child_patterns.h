#pragma once

struct ToolConfig;

// Children named by a pattern (`takes/*.wav`, from -cf or a group's
// `files`): every child name that holds '*', '?' or '[' and names no
// existing file as it is written is replaced, in place in its group, by the
// files it matches (resolved against src_path as an input is, directories
// left out), sorted by their bytes, each named as the pattern was (relative
// stays relative to src_path). Returns 0, 5 (memory), or 6 after
//   "  no file matches the pattern '<pattern>' (group '<group>')"
// on standard error. Groups are left as they were on failure only as far
// as the failing group is concerned: earlier groups stay expanded.
[[nodiscard]] int expand_child_patterns(ToolConfig* cfg);
