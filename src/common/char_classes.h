// Character classes that several parts of the library read texts by, each
// named for what it means. None depends on the locale; the type strings'
// blank, which does, is the parser's (types/types.h).
#pragma once

namespace mekal {

// A space or a tab: what separates the words of a line in the files the
// probes read (os-release, cpuinfo) and in MPI's version text.
inline bool is_space_or_tab(char c) { return c == ' ' || c == '\t'; }

// The six ASCII white-space characters, as isspace() has them in the C
// locale.
inline bool is_ascii_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// JSON's insignificant white space (RFC 8259): space, tab, line feed and
// carriage return.
inline bool is_json_whitespace(unsigned char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

}  // namespace mekal
