#pragma once

// Checks on the raw text of an XML file that the XML parser does not make.
//
// pugixml reads the first root element and silently drops what a document
// may not hold around it: a second root element (several CF-e exported one
// after another in one file), text after the root, NUL bytes. It also takes
// bytes that are not valid in the text's encoding as they are. Such a file is
// not one well-formed XML document; the reader and the server's import both
// refuse it with the messages made here, naming the byte offset.
//
// The scan is one pass without a parser. It relies on the parser for the
// inside of the root element: on a text the parser refuses, what it reports
// about the outside of the root may be wrong, so callers look at
// `outside_root` only after a successful parse.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace kqz::summary {

// Byte offset of the first invalid UTF-8 sequence in `text` (overlong forms,
// surrogates and code points past U+10FFFF are invalid), or npos.
std::size_t FindInvalidUtf8(std::string_view text);

struct XmlTextProblem {
    std::size_t offset = 0;  // byte offset in the scanned text
    std::string message;     // Portuguese, names the offset
};

struct XmlTextScan {
    std::string root;      // name of the first element ("" when none was found)
    std::string encoding;  // encoding named by the XML declaration, as written ("" when none)
    // A byte not valid in the encoding the parser reads the text with, or a
    // NUL byte (never allowed in XML).
    std::optional<XmlTextProblem> encoding_problem;
    // Something outside the root element other than blanks, comments and
    // processing instructions: a second document, text, NUL bytes.
    std::optional<XmlTextProblem> outside_root;
};

// Scans a text that the parser reads as 8-bit: UTF-8, or ISO-8859-1 when the
// declaration says so (a UTF-8 byte-order mark is skipped; offsets count it).
// UTF-16 and UTF-32 texts must be converted before.
XmlTextScan ScanXmlText(std::string_view text);

}  // namespace kqz::summary
