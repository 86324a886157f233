// CFile: reading, writing, seeking, and atomic replacement on create.
#include <kalvio/file.h>
#include <kalvio/formats.h>

#include <message_recorder.h>
#include <temp_dir.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

class FileTest : public testing::Test {
protected:
    std::string path(const char* name) const { return m_dir.path(name); }
    static std::string contents(const std::string& p) { return kalvio_test::TempDir::get(p); }
    static void put(const std::string& p, const std::string& text) { kalvio_test::TempDir::put(p, text); }

    kalvio_test::TempDir m_dir;
};

}  // namespace

TEST_F(FileTest, ReadsSeeksAndReportsLength) {
    put(path("in.bin"), std::string("BM\0\x01xyz", 7));
    CFile file;
    ASSERT_TRUE(file.Open(path("in.bin").c_str(), CFile::modeRead | CFile::typeBinary));
    EXPECT_EQ(file.GetLength(), 7);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "BM");
    EXPECT_EQ(file.Seek(-3, CFile::end), 4);
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 3u) << "a short read returns what is there";
    EXPECT_EQ(std::string(buffer, 3), "xyz");
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 0u);
    EXPECT_FALSE(file.Write("no", 2)) << "a file opened for reading refuses writes";
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(file.Read(buffer, 1), 0u);
}

TEST_F(FileTest, OpenFailuresAreResultsNotExceptions) {
    CFile file;
    EXPECT_FALSE(file.Open(path("missing.bin").c_str(), CFile::modeRead));
    EXPECT_FALSE(file.Open(nullptr, CFile::modeRead));
    EXPECT_FALSE(file.Open("", CFile::modeRead));
    EXPECT_FALSE(file.Open(m_dir.root().string().c_str(), CFile::modeRead)) << "a folder is not a file";
    EXPECT_FALSE(file.Open(path("no/such/folder/out.bmp").c_str(), CFile::modeCreate | CFile::modeWrite));
    EXPECT_FALSE(file.Open(path("x").c_str(), CFile::modeCreate)) << "create needs write access";
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetLength(), -1);
    EXPECT_EQ(file.Seek(0, CFile::begin), -1);
}

TEST_F(FileTest, CreatedFileAppearsOnlyOnClose) {
    const std::string target = path("out.bmp");
    CFile file;
    ASSERT_TRUE(file.Open(target.c_str(), CFile::modeCreate | CFile::modeWrite));
    EXPECT_TRUE(file.Write("hello", 5));
    EXPECT_FALSE(fs::exists(target)) << "nothing is published before Close";
    EXPECT_EQ(file.GetLength(), 5);
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(contents(target), "hello");
    EXPECT_EQ(m_dir.entries(), 1u) << "no temporary file is left behind";

    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask) << "a new file gets the usual permissions";
}

TEST_F(FileTest, AbandonedOrFailedCreateLeavesTheOldFileUntouched) {
    const std::string target = path("picture.bmp");
    put(target, "good old picture");
    ::chmod(target.c_str(), 0640);
    {
        CFile file;
        ASSERT_TRUE(file.Open(target.c_str(), CFile::modeCreate | CFile::modeWrite));
        file.Write("half", 4);
    }  // destroyed without Close
    EXPECT_EQ(contents(target), "good old picture");
    {
        CFile file;
        ASSERT_TRUE(file.Open(target.c_str(), CFile::modeCreate | CFile::modeWrite));
        file.Write("half", 4);
        file.Abort();
    }
    EXPECT_EQ(contents(target), "good old picture");
    {
        CFile file;
        ASSERT_TRUE(file.Open(target.c_str(), CFile::modeCreate | CFile::modeWrite));
        EXPECT_FALSE(file.Write(nullptr, 4));
        EXPECT_TRUE(file.HasFailed());
        EXPECT_FALSE(file.Close()) << "a file with a failed write is not published";
    }
    EXPECT_EQ(contents(target), "good old picture");
    EXPECT_EQ(m_dir.entries(), 1u);

    CFile file;
    ASSERT_TRUE(file.Open(target.c_str(), CFile::modeCreate | CFile::modeWrite));
    ASSERT_TRUE(file.Write("new picture", 11));
    ASSERT_TRUE(file.Close());
    EXPECT_EQ(contents(target), "new picture");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u) << "a replaced file keeps its permissions";
}

TEST_F(FileTest, WriteWithoutTruncateUpdatesInPlace) {
    const std::string target = path("update.bin");
    put(target, "0123456789");
    CFile file;
    ASSERT_TRUE(file.Open(target.c_str(), CFile::modeWrite | CFile::modeCreate | CFile::modeNoTruncate));
    EXPECT_EQ(file.Seek(4, CFile::begin), 4);
    EXPECT_TRUE(file.Write("ab", 2));
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(contents(target), "0123ab6789");
}

// What a writer may do to the thing a name points at, for both ways the
// library writes (CFile, and the buffered writers of the picture formats).
class OutputTargetTest : public FileTest, public testing::WithParamInterface<const char*> {
protected:
    // Writes `text` to `target` the way the parameter names; true on success.
    static bool write(const std::string& target, const std::string& text) {
        if (std::string(GetParam()) == "CFile") {
            CFile file;
            return file.Open(target.c_str(), CFile::modeCreate | CFile::modeWrite) &&
                   file.Write(text.data(), text.size()) && file.Close();
        }
        // A one-row PGM whose samples are the text's bytes.
        std::vector<float> row(text.begin(), text.end());
        float* rows[] = {row.data()};
        return write_pgm_image(rows, target.c_str(), 1, static_cast<int>(row.size()), 0) == 1;
    }
    static std::string written(const std::string& text) {
        if (std::string(GetParam()) == "CFile") return text;
        return "P5\n" + std::to_string(text.size()) + " 1\n255\n" + text;
    }
    kalvio_test::MessageRecorder m_messages;
};

TEST_P(OutputTargetTest, LinksKeepPointingWhereTheyPointed) {
    fs::create_directories(m_dir.root() / "real");
    const std::string file = path("real/picture.pgm");
    put(file, "old");
    fs::create_symlink("real/picture.pgm", path("link.pgm"));
    fs::create_symlink("link.pgm", path("link2.pgm"));  // a chain of links
    ASSERT_TRUE(write(path("link2.pgm"), "new"));
    EXPECT_TRUE(fs::is_symlink(path("link.pgm")));
    EXPECT_TRUE(fs::is_symlink(path("link2.pgm")));
    EXPECT_EQ(fs::read_symlink(path("link2.pgm")), "link.pgm");
    EXPECT_EQ(contents(file), written("new")) << "the file at the end of the links gets the content";
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.root() / "real"), {}), 1) << "no temporary left";

    // A link to a name that does not exist yet creates that file.
    fs::create_symlink("real/new.pgm", path("dangling.pgm"));
    ASSERT_TRUE(write(path("dangling.pgm"), "made"));
    EXPECT_TRUE(fs::is_symlink(path("dangling.pgm")));
    EXPECT_EQ(contents(path("real/new.pgm")), written("made"));
}

TEST_P(OutputTargetTest, DevicesFifosAndFoldersAreNeverReplaced) {
    if (fs::exists("/dev/null")) {
        EXPECT_TRUE(write("/dev/null", "gone")) << "a device is written where it is";
        EXPECT_TRUE(fs::is_character_file("/dev/null"));
    }
    if (fs::exists("/dev/full")) {
        EXPECT_FALSE(write("/dev/full", std::string(1 << 16, 'x'))) << "a full device is a failure";
        EXPECT_TRUE(fs::is_character_file("/dev/full"));
    }
    // A FIFO nobody reads is refused at once instead of blocking.
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_FALSE(write(fifo, "nobody listens"));
    EXPECT_TRUE(fs::is_fifo(fifo));
    // With a reader waiting, the FIFO receives the data.
    const int reader = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    ASSERT_GE(reader, 0);
    EXPECT_TRUE(write(fifo, "hello"));
    char got[64] = {};
    const ssize_t n = ::read(reader, got, sizeof got);
    ::close(reader);
    EXPECT_EQ(std::string(got, n > 0 ? static_cast<std::size_t>(n) : 0), written("hello"));
    EXPECT_TRUE(fs::is_fifo(fifo));

    EXPECT_FALSE(write(m_dir.root().string(), "x"));
    EXPECT_TRUE(fs::is_directory(m_dir.root()));
}

TEST_P(OutputTargetTest, AFileTheCallerMayNotWriteIsRefusedAsAPlainOpenWould) {
    const std::string target = path("locked.pgm");
    put(target, "keep");
    ::chmod(target.c_str(), 0444);
    // Root may write a read-only file; anyone else may not.
    const int probe = ::open(target.c_str(), O_WRONLY);
    const bool may_write = probe >= 0;
    if (probe >= 0) ::close(probe);
    EXPECT_EQ(write(target, "new"), may_write);
    EXPECT_EQ(contents(target), may_write ? written("new") : "keep");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0444u) << "a replaced file keeps its permissions";
}

INSTANTIATE_TEST_SUITE_P(Writers, OutputTargetTest, testing::Values("CFile", "write_pgm_image"));

TEST_F(FileTest, ReadingNeverBlocksOnAFifo) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    CFile file;
    EXPECT_FALSE(file.Open(fifo.c_str(), CFile::modeRead)) << "only regular files are read";
}
