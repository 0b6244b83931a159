#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "download/document_file.hpp"

namespace kqz::download {
namespace {

namespace fs = std::filesystem;

std::string Ler(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

struct TempDir {
    fs::path path;
    TempDir() {
        path = fs::temp_directory_path() / ("kqz-download-" + std::to_string(::getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(path);
        fs::create_directories(path);
    }
    ~TempDir() { fs::remove_all(path); }
};

TEST(TextoDoDocumento, NormalisesLineBreaksAndDropsNuls) {
    struct Case {
        std::string xml;
        std::string file;
    };
    const Case cases[] = {
        {"<a>\n<b/>\n</a>", "<a>\r\n<b/>\r\n</a>"},       // lone LF
        {"<a>\r\n<b/>\r\n</a>", "<a>\r\n<b/>\r\n</a>"},   // CR LF unchanged
        {"<a>\r<b/>\r</a>", "<a>\r\n<b/>\r\n</a>"},       // lone CR
        {"<a><b/></a>", "<a><b/></a>"},                   // one line: no break at all
        {"<a/>\r\n", "<a/>\r\n"},                         // a final CR LF is kept
        {"<a/>\n", "<a/>"},                               // a final lone LF is lost
        {"<a/>\r", "<a/>"},                               // and so is a final lone CR
        {"<a/>\n\n", "<a/>\r\n"},                         // an empty last line
        {std::string("<a>\0x</a>\n\0", 11), "<a>x</a>"},  // NULs dropped
        {"", ""},
        {"\n\r\n", "\r\n\r\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TextoDoDocumento(c.xml), c.file) << testing::PrintToString(c.xml);
    }
}

TEST(ProblemaNoNome, RefusesNamesThatLeaveTheFolder) {
    const char* accepted[] = {"CFe35210311222333000181590001234560000421234567-VD", "CFeCanc3521-CA", "a b",
                              "x.y"};
    for (const char* name : accepted) {
        EXPECT_FALSE(ProblemaNoNome(name).has_value()) << name;
    }
    const std::string refused[] = {"",
                                   ".",
                                   "..",
                                   "../x",
                                   "a/b",
                                   "a\\b",
                                   "..hidden",
                                   "x..y",
                                   "a:b",
                                   "a*",
                                   "a?",
                                   "a\"b",
                                   "a<b",
                                   "a|b",
                                   "a\tb",
                                   " a",
                                   "a.",
                                   "a\x7f",
                                   std::string("a\0b", 3),
                                   std::string(201, 'x')};
    for (const std::string& name : refused) {
        EXPECT_TRUE(ProblemaNoNome(name).has_value()) << testing::PrintToString(name);
    }
}

TEST(GravadorDeArquivos, WritesEveryFileAndReplacesExistingOnes) {
    TempDir dir;
    GravarArquivo(dir.path / "A.XML", "old content that is longer");
    {
        GravadorDeArquivos gravador(2, 4);
        for (int i = 0; i < 50; ++i) {
            gravador.Gravar(dir.path / (std::to_string(i) + ".XML"),
                            std::string(static_cast<std::size_t>(i), 'x'));
        }
        gravador.Gravar(dir.path / "A.XML", "new");
        gravador.Concluir();
    }
    EXPECT_EQ(Ler(dir.path / "A.XML"), "new");
    EXPECT_EQ(Ler(dir.path / "49.XML"), std::string(49, 'x'));
    EXPECT_EQ(Ler(dir.path / "0.XML"), "");
}

TEST(GravadorDeArquivos, ReportsTheFileThatCouldNotBeWritten) {
    TempDir dir;
    GravadorDeArquivos gravador(2, 2);
    const fs::path bad = dir.path / "missing-folder" / "X.XML";
    try {
        gravador.Gravar(bad, "x");
        for (int i = 0; i < 20; ++i) {
            gravador.Gravar(dir.path / (std::to_string(i) + ".XML"), "y");
        }
        gravador.Concluir();
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(bad.string()), std::string::npos) << e.what();
    }
}

TEST(GravarArquivo, ALinkUnderTheNameIsReplacedNeverFollowed) {
    TempDir dir;
    const fs::path outside = dir.path / "outside.txt";
    GravarArquivo(outside, "precious");
    fs::create_directory(dir.path / "folder");
    const fs::path name = dir.path / "folder" / "CFe1.XML";
    fs::create_symlink(outside, name);
    GravarArquivo(name, "document");
    EXPECT_EQ(Ler(outside), "precious");
    EXPECT_FALSE(fs::is_symlink(name));
    EXPECT_EQ(Ler(name), "document");
    // A dangling link is replaced too, not used to create its target.
    const fs::path dangling = dir.path / "folder" / "CFe2.XML";
    fs::create_symlink(dir.path / "created-outside.txt", dangling);
    GravarArquivo(dangling, "document 2");
    EXPECT_FALSE(fs::exists(dir.path / "created-outside.txt"));
    EXPECT_EQ(Ler(dangling), "document 2");
    // Nothing but the two documents is left in the folder (no temporary files).
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path / "folder"), fs::directory_iterator()), 2);
}

// A full disk, as a file size limit in a child process: the write fails,
// and the name keeps what it held (or stays absent), never a part.
TEST(GravarArquivo, AFailedWriteLeavesTheFileCompleteOrAbsent) {
    TempDir dir;
    const fs::path kept = dir.path / "KEPT.XML";
    GravarArquivo(kept, "the earlier complete document");
    const fs::path fresh = dir.path / "FRESH.XML";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{4096, 4096};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        int failures = 0;
        for (const fs::path& p : {kept, fresh}) {
            try {
                GravarArquivo(p, std::string(100000, 'x'));
            } catch (const std::runtime_error&) {
                ++failures;
            }
        }
        ::_exit(failures);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2) << "both writes must report the failure";
    EXPECT_EQ(Ler(kept), "the earlier complete document");
    EXPECT_FALSE(fs::exists(fresh));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path), fs::directory_iterator()), 1);
}

// Rows with the same name: the later row's file is the one that stays, and
// no file ever mixes two documents.
TEST(GravadorDeArquivos, WritesOfOnePathKeepTheirOrder) {
    TempDir dir;
    const std::string big(1 << 20, 'B');
    for (int round = 0; round < 20; ++round) {
        GravadorDeArquivos gravador(2, 8);
        for (int i = 0; i < 6; ++i) {
            gravador.Gravar(dir.path / "SAME.XML", i % 2 == 0 ? big : "small " + std::to_string(i));
            gravador.Gravar(dir.path / ("other" + std::to_string(i) + ".XML"), "o");
        }
        gravador.Gravar(dir.path / "SAME.XML", "small last");
        gravador.Gravar(dir.path / "SAME.XML", big);
        gravador.Gravar(dir.path / "SAME.XML", "last " + std::to_string(round));
        gravador.Concluir();
        ASSERT_EQ(Ler(dir.path / "SAME.XML"), "last " + std::to_string(round)) << "round " << round;
    }
}

}  // namespace
}  // namespace kqz::download
