// CFile: reading, writing, seeking, and atomic replacement on create.
#include <kalvio/file.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

class FileTest : public testing::Test {
protected:
    void SetUp() override {
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        m_dir = fs::temp_directory_path() /
                (std::string("kalvio-file-") + info->name() + "-" + std::to_string(::getpid()));
        fs::remove_all(m_dir);
        fs::create_directories(m_dir);
    }
    void TearDown() override { fs::remove_all(m_dir); }

    std::string path(const char* name) const { return (m_dir / name).string(); }
    static std::string contents(const std::string& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    static void put(const std::string& p, const std::string& text) {
        std::ofstream(p, std::ios::binary) << text;
    }
    std::size_t entries() const {
        return static_cast<std::size_t>(std::distance(fs::directory_iterator(m_dir), {}));
    }

    fs::path m_dir;
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
    EXPECT_FALSE(file.Open(m_dir.string().c_str(), CFile::modeRead)) << "a folder is not a file";
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
    EXPECT_EQ(entries(), 1u) << "no temporary file is left behind";

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
    EXPECT_EQ(entries(), 1u);

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

TEST_F(FileTest, WriteToAFullDeviceFails) {
    if (!fs::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
    CFile file;
    ASSERT_TRUE(file.Open("/dev/full", CFile::modeWrite));
    std::string block(1 << 16, 'x');
    EXPECT_FALSE(file.Write(block.data(), block.size()));
    EXPECT_TRUE(file.HasFailed());
    EXPECT_FALSE(file.Close());
}
