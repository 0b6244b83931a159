#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "summary/error.hpp"
#include "summary/salvar.hpp"
#include "tests/summary/helpers.hpp"

namespace kqz::summary {
namespace {

using testing::ReadBytes;
using testing::TempDir;

TEST(SalvarResumo, BytesOfTheFile) {
    struct Case {
        const char* name;
        std::vector<std::string> lines;
        std::string bytes;
    };
    const std::vector<Case> cases{
        {"CR LF between lines, none after the last, trailing blanks kept",
         {"Empresa: 1 - X", "", "+---+ ", "fim"},
         "Empresa: 1 - X\r\n\r\n+---+ \r\nfim"},
        {"an empty last line leaves the file ending in CR LF", {"a", ""}, "a\r\n"},
        {"UTF-8 as it is, no byte-order mark", {"PÃO FRANCÊS"}, "P\xC3\x83O FRANC\xC3\x8AS"},
        {"no lines: empty file", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        const std::string path = dir.Path("Resumo_mar21_08723218000186.txt");
        SalvarResumo(path, c.lines);
        EXPECT_EQ(ReadBytes(path), c.bytes);
        // Only the summary is left in the folder (no temporary file).
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    }
}

TEST(SalvarResumo, ReplacesAnExistingFileAndKeepsItsMode) {
    TempDir dir;
    const std::string path = dir.Write("r.txt", "a much longer first content\r\nwith two lines");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    SalvarResumo(path, {"x"});
    EXPECT_EQ(ReadBytes(path), "x");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640U);
}

TEST(SalvarResumo, FailureNamesThePathAndLeavesNothing) {
    TempDir dir;
    const std::vector<std::string> paths{dir.Path("no/such/folder/r.txt"), dir.Path()};
    for (const std::string& path : paths) {
        SCOPED_TRACE(path);
        try {
            SalvarResumo(path, {"x"});
            ADD_FAILURE() << "no error";
        } catch (const ResumoError& e) {
            EXPECT_NE(std::string(e.what()).find("\"" + path + "\""), std::string::npos) << e.what();
        }
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
}

}  // namespace
}  // namespace kqz::summary
