#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "summary/xml_text.hpp"

namespace kqz::summary {
namespace {

constexpr std::size_t npos = std::string::npos;

struct ScanCase {
    const char* name;
    std::string text;
    std::string root;
    std::size_t encoding_at;  // npos: no encoding problem
    std::size_t outside_at;   // npos: nothing outside the root
};

// The scan finds the end of the root element without a parser: markup that
// looks like an end or a start inside quotes, comments and CDATA must not
// move it.
TEST(ScanXmlText, FindsWhatLiesOutsideTheRootElement) {
    const std::vector<ScanCase> cases{
        {"one document", "<CFe><a>1</a></CFe>", "CFe", npos, npos},
        {"declaration, comments, instructions and blanks around the root",
         "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<!-- a -->\n<CFeCanc x=\"1\"/>\n<!-- <b> -->\n<?pi "
         "x?>\t\r\n",
         "CFeCanc", npos, npos},
        {"doctype with an internal subset", "<!DOCTYPE CFe [<!ENTITY e \"<x>\">]><CFe>&e;</CFe>", "CFe", npos,
         npos},
        {"'>' and '</' inside attribute values, comments and CDATA",
         "<CFe a=\"x>y\" b='</CFe>'><!-- </CFe> --><![CDATA[</CFe><x>]]><?p </CFe>?><c/></CFe>", "CFe", npos,
         npos},
        {"nested elements of the root's name", "<a><a><a/></a></a>", "a", npos, npos},
        {"second document", "<CFe></CFe>\n<CFe></CFe>", "CFe", npos, 12},
        {"second document with its declaration", "<CFe/>\n<?xml version=\"1.0\"?><CFe/>", "CFe", npos, 7},
        {"text after the root", "<CFe></CFe>fim", "CFe", npos, 11},
        {"a stray end tag after the root", "<CFe></CFe></CFe>", "CFe", npos, 11},
        {"NUL bytes after the root", std::string("<CFe/>\n\0\0", 9), "CFe", npos, 7},
        {"text before the root", "lixo<CFe/>", "", npos, 0},
        {"NUL inside the root", std::string("<CFe>\0</CFe>", 12), "CFe", 5, npos},
        {"bad UTF-8 byte", "<CFe>p\xE3o</CFe>", "CFe", 6, npos},
        {"bad byte after a long ASCII run", "<CFe>0123456789abcdef\x80</CFe>", "CFe", 21, npos},
        {"ISO-8859-1 declared: its bytes are valid",
         "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><CFe>p\xE3o</CFe>", "CFe", npos, npos},
        {"unterminated root: left to the parser", "<CFe><a>", "CFe", npos, npos},
        {"empty text", "", "", npos, npos},
    };
    for (const ScanCase& c : cases) {
        SCOPED_TRACE(c.name);
        const XmlTextScan scan = ScanXmlText(c.text);
        EXPECT_EQ(scan.root, c.root);
        EXPECT_EQ(scan.encoding_problem ? scan.encoding_problem->offset : npos, c.encoding_at);
        EXPECT_EQ(scan.outside_root ? scan.outside_root->offset : npos, c.outside_at);
        if (scan.outside_root) {
            EXPECT_NE(scan.outside_root->message.find("no byte " + std::to_string(c.outside_at)), npos)
                << scan.outside_root->message;
        }
    }
}

TEST(ScanXmlText, MessagesSayWhatWasFound) {
    EXPECT_EQ(ScanXmlText("<a/><a/>").outside_root->message,
              "XML mal formado: um segundo documento começa no byte 4");
    EXPECT_EQ(ScanXmlText("<a/>x").outside_root->message,
              "XML mal formado: texto após o elemento raiz no byte 4");
    EXPECT_EQ(ScanXmlText("<a>\xE3</a>").encoding_problem->message, "texto não está em UTF-8 (byte 3)");
    EXPECT_EQ(
        ScanXmlText("<?xml version=\"1.0\" encoding=\"windows-1252\"?><a>\xE3</a>").encoding_problem->message,
        "texto não está em UTF-8 (byte 48); a codificação declarada \"windows-1252\" não é lida");
}

}  // namespace
}  // namespace kqz::summary
