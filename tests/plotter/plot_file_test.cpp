// Plot file names, scoop-row placement of batches, the resume record and whole files
// checked against known digests.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "nonce/nonce.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "test_support.h"

namespace {

std::vector<uint8_t> read_file(const std::string& path) {
    const std::string bytes = test_read_file(path);
    return std::vector<uint8_t>(bytes.begin(), bytes.end());
}

// Fills every scoop of a batch with bytes naming its scoop, its nonce and a tag, so a
// misplaced scoop shows in a byte comparison.
void fill_synthetic(test_batch_s* buffer, uint64_t count, uint8_t tag) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t j = 0; j < count; ++j)
            for (uint64_t b = 0; b < SCOOP_SIZE; ++b)
                buffer->storage[(s * buffer->batch.capacity + j) * SCOOP_SIZE + b] =
                    (uint8_t)(s * 31 + j * 7 + b + tag);
}

// The file a list of batches should give: scoop s of file nonce i at (s * N + i) * 64.
void place(std::vector<uint8_t>* file, uint64_t file_nonces, uint64_t first_index, uint64_t count,
           const test_batch_s& buffer) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t j = 0; j < count; ++j)
            std::copy_n(&buffer.storage[(s * buffer.batch.capacity + j) * SCOOP_SIZE], SCOOP_SIZE,
                        &(*file)[(s * file_nonces + first_index + j) * SCOOP_SIZE]);
}

std::vector<std::pair<uint64_t, uint64_t>> writes;  // (offset, length) of each pwrite
std::vector<std::string> journal;
std::atomic<bool>* stop_after_writes = nullptr;
size_t stop_after_count = 0;
int fail_write_at = -1;

ssize_t recording_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    writes.emplace_back((uint64_t)offset, length);
    journal.push_back("write");
    if ((int)writes.size() == fail_write_at) return errno = EIO, -1;
    if (stop_after_writes && writes.size() == stop_after_count) stop_after_writes->store(true);
    return ::pwrite(fd, buffer, length, offset);
}

class PlotFile : public testing::Test {
protected:
    void SetUp() override {
        writes.clear();
        journal.clear();
        stop_after_writes = nullptr;
        fail_write_at = -1;
    }
    void TearDown() override { sys_syscalls_reset(); }
    int64_t create(uint64_t nonces) {
        const int64_t fd = sys_file_create(path().c_str(), nonces * PLOT_SIZE);
        EXPECT_GT(fd, 0);
        return fd;
    }
    std::string path() const { return dir.file("123_0_16.plotting"); }
    test_dir_s dir;
};

uint64_t resume_read_logged(int64_t fd, uint64_t nonces, std::string* logged) {
    testing::internal::CaptureStderr();
    const uint64_t from = plot_resume_read(fd, nonces, 512);
    *logged = testing::internal::GetCapturedStderr();
    return from;
}

}  // namespace

TEST(PlotName, ThreeNumbersForPoc2FourForPoc1) {
    EXPECT_EQ(plot_file_path("/plots", 123, 4096, 8192, true), "/plots/123_4096_8192");
    EXPECT_EQ(plot_file_path("/plots", 123, 4096, 8192, false), "/plots/123_4096_8192_8192");
    EXPECT_EQ(plot_file_path("/plots/", 1, 2, 3, true), "/plots//1_2_3");
    EXPECT_EQ(plot_file_name(18446744073709551615ull, 0, 1, false), "18446744073709551615_0_1_1");
}

TEST(PlotName, Parse) {
    struct case_s {
        const char* path;                  // what is parsed
        plot_name_e kind;                  // what the name says
        uint64_t account = 0, start = 0, count = 0;  // its numbers (when a plot name)
        const char* rest = "";             // what follows them
    };
    const uint64_t MAX = UINT64_MAX;
    const case_s cases[] = {
        {"1_2_3", PLOT_NAME_POC2, 1, 2, 3, ""},
        {"/a/b/1_2_3_3", PLOT_NAME_POC1, 1, 2, 3, ""},
        {"/x_y/1_2_3_3.plotting", PLOT_NAME_POC1, 1, 2, 3, ".plotting"},
        {"1_2_3_4", PLOT_NAME_NOT_OPTIMIZED, 1, 2, 3, ""},
        {"1_2_3_0", PLOT_NAME_NOT_OPTIMIZED, 1, 2, 3, ""},  // a stagger of 0 is no PoC2 name
        {"1_2_3_", PLOT_NAME_POC2, 1, 2, 3, "_"},
        {"18446744073709551615_2_3.plotting", PLOT_NAME_POC2, MAX, 2, 3, ".plotting"},
        {"1_18446744073709551615_1", PLOT_NAME_POC2, 1, MAX, 1, ""},  // ends exactly at the last nonce
        {"1_18446744073709551615_2", PLOT_NAME_NONE},                 // passes it
        {"1_2_0", PLOT_NAME_NONE},
        {"1_2_0_0", PLOT_NAME_NONE},
        {"1_2", PLOT_NAME_NONE},
        {"x_1_2_3", PLOT_NAME_NONE},
        {"/a/1_2", PLOT_NAME_NONE},
        {"", PLOT_NAME_NONE},
        {"/a/", PLOT_NAME_NONE},
        {"-1_2_3", PLOT_NAME_NONE},
        {" 1_2_3", PLOT_NAME_NONE},
        {"1__2_3", PLOT_NAME_NONE},
        {"18446744073709551616_2_3", PLOT_NAME_NONE},
    };
    for (const case_s& c : cases) {
        plot_name_s name;
        ASSERT_EQ(plot_name_parse(c.path, &name), c.kind) << c.path;
        if (c.kind == PLOT_NAME_NONE) continue;
        EXPECT_EQ((std::vector<uint64_t>{name.account, name.start, name.count}),
                  (std::vector<uint64_t>{c.account, c.start, c.count})) << c.path;
        EXPECT_STREQ(name.rest, c.rest) << c.path;
    }
}

TEST_F(PlotFile, BatchRowsLandAtTheirScoopOffsets) {
    const uint64_t file_nonces = 16, first = 8, count = 8;
    test_batch_s buffer(10);  // rows 10 nonces apart, only 8 of them meaningful
    fill_synthetic(&buffer, 10, 1);
    const int64_t fd = create(file_nonces);
    sys_syscalls().pwrite = recording_pwrite;
    std::vector<uint64_t> rows;
    EXPECT_TRUE(plot_file_write_batch(fd, file_nonces, first, count, &buffer.batch, nullptr,
                                      [&](uint64_t bytes) { rows.push_back(bytes); }));
    sys_file_close(fd);
    EXPECT_EQ(rows, std::vector<uint64_t>(SCOOPS_PER_PLOT, count * SCOOP_SIZE));

    ASSERT_EQ(writes.size(), SCOOPS_PER_PLOT);
    EXPECT_EQ(writes.front(), (std::pair<uint64_t, uint64_t>{512, 512}));
    EXPECT_EQ(writes.back(), (std::pair<uint64_t, uint64_t>{4193792, 512}));
    std::vector<uint8_t> expected(file_nonces * PLOT_SIZE, 0);
    place(&expected, file_nonces, first, count, buffer);
    EXPECT_TRUE(read_file(path()) == expected);
}

// A stop before the first row or mid-batch, and a batch that does not fit its place in the
// file or its buffer, end the write: false, and only the rows before the end are written.
TEST_F(PlotFile, WritesThatEndEarly) {
    struct case_s {
        uint64_t first, count;  // where the batch goes and how many nonces it holds
        bool stop;              // stop set before the write
        size_t stop_after;      // writes after which the stop is set; 0 = never
        size_t rows;            // rows written
    };
    const case_s cases[] = {{0, 8, true, 0, 0}, {0, 8, false, 10, 10}, {12, 8, false, 0, 0}, {0, 9, false, 0, 0}};
    test_batch_s buffer(8);
    fill_synthetic(&buffer, 8, 2);
    const int64_t fd = create(16);
    sys_syscalls().pwrite = recording_pwrite;
    for (const case_s& c : cases) {
        SCOPED_TRACE("first " + std::to_string(c.first) + " count " + std::to_string(c.count));
        writes.clear();
        std::atomic<bool> stop{c.stop};
        stop_after_writes = c.stop_after ? &stop : nullptr;
        stop_after_count = c.stop_after;
        size_t reported = 0;
        EXPECT_FALSE(plot_file_write_batch(fd, 16, c.first, c.count, &buffer.batch, &stop,
                                           [&](uint64_t) { ++reported; }));
        EXPECT_EQ(writes.size(), c.rows);
        EXPECT_EQ(reported, c.rows);
    }
    sys_file_close(fd);
}

TEST_F(PlotFile, ResumeRecordRoundTrip) {
    const int64_t fd = create(16);
    std::string logged;
    EXPECT_EQ(resume_read_logged(fd, 16, &logged), 0u);
    EXPECT_EQ(logged, "  resuming from nonce 0\n") << "a fresh file is a valid record of 0";

    sys_syscalls().pwrite = recording_pwrite;
    sys_syscalls().fdatasync = [](int fd) { return journal.push_back("sync"), ::fdatasync(fd); };
    ASSERT_TRUE(plot_resume_commit(fd, 16, 512, 8));
    EXPECT_EQ(journal, (std::vector<std::string>{"sync", "write"})) << "data reaches the disk before the record";
    const std::vector<uint8_t> file = read_file(path());
    std::vector<uint8_t> record(512, 0);
    record[504] = 8;
    EXPECT_TRUE(std::vector<uint8_t>(file.end() - 512, file.end()) == record);

    EXPECT_EQ(resume_read_logged(fd, 16, &logged), 8u);
    EXPECT_EQ(logged, "  resuming from nonce 8\n");

    writes.clear();
    plot_resume_write(fd, 16, 512, 16);
    EXPECT_TRUE(writes.empty()) << "a complete file's last sector holds plot data";
    sys_file_close(fd);
}

// In a 12-nonce file (not a whole number of sector groups) the last sector also holds
// scoop 4095 of nonces 4..11: a record of 8 written nonces would cover written data.
TEST_F(PlotFile, ResumeRecordNeverOverwritesWrittenNonces) {
    const std::string marker(4 * SCOOP_SIZE, '\x5a');
    const uint64_t at = (4095 * 12 + 4) * SCOOP_SIZE;
    const int64_t fd = create(12);
    sys_file_write(fd, at, marker.size(), marker.data());
    plot_resume_write(fd, 12, 512, 8);
    sys_file_close(fd);
    EXPECT_EQ(test_read_file(path()).substr(at, marker.size()), marker);
}

TEST_F(PlotFile, InvalidResumeRecordsStartFromZero) {
    const int64_t fd = create(16);
    const uint64_t record_at = 16 * PLOT_SIZE - 512;
    struct case_s {
        uint64_t offset;  // byte of the record to set
        uint8_t value;    // what to put there
    };
    for (case_s bad : {case_s{504, 16}, case_s{504, 17}, case_s{511, 1}, case_s{0, 1}, case_s{503, 0x80}}) {
        std::vector<uint8_t> record(512, 0);
        record[504] = 4;
        record[bad.offset] = bad.value;
        sys_file_write(fd, record_at, record.size(), record.data());
        std::string logged;
        EXPECT_EQ(resume_read_logged(fd, 16, &logged), 0u) << bad.offset;
        EXPECT_EQ(logged, "  incorrect resume data... starting from nonce 0\n");
    }
    sys_file_close(fd);

    test_write_file(dir.file("short"), "x");
    const int64_t short_fd = sys_file_open_read(dir.file("short").c_str());
    std::string logged;
    EXPECT_EQ(resume_read_logged(short_fd, 16, &logged), 0u) << "an unreadable record";
    EXPECT_NE(logged.find("  incorrect resume data... starting from nonce 0\n"), std::string::npos);
    sys_file_close(short_fd);
}

// A write error mid-batch ends the process; the next run resumes after the last
// committed batch and the finished file is byte for byte what it should be.
TEST_F(PlotFile, CrashDuringABatchResumesFromTheLastRecord) {
    const uint64_t file_nonces = 16;
    test_batch_s first(8), second(8);
    fill_synthetic(&first, 8, 3);
    fill_synthetic(&second, 8, 4);
    int64_t fd = create(file_nonces);
    ASSERT_TRUE(plot_file_write_batch(fd, file_nonces, 0, 8, &first.batch, nullptr));
    ASSERT_TRUE(plot_resume_commit(fd, file_nonces, 512, 8));
    EXPECT_EXIT(
        {
            sys_syscalls().pwrite = recording_pwrite;
            fail_write_at = 100;
            plot_file_write_batch(fd, file_nonces, 8, 8, &second.batch, nullptr);
        },
        testing::ExitedWithCode(1), "Error while writing to file: 5");
    sys_file_close(fd);

    fd = create(file_nonces);
    std::string logged;
    const uint64_t from = resume_read_logged(fd, file_nonces, &logged);
    ASSERT_EQ(from, 8u);
    ASSERT_TRUE(plot_file_write_batch(fd, file_nonces, from, 8, &second.batch, nullptr));
    sys_file_close(fd);

    std::vector<uint8_t> expected(file_nonces * PLOT_SIZE, 0);
    place(&expected, file_nonces, 0, 8, first);
    place(&expected, file_nonces, 8, 8, second);
    EXPECT_TRUE(read_file(path()) == expected);
}

// Whole eight-nonce files built the way the writer builds them, against known digests:
// in one batch through a direct descriptor, and in batches of 3, 3 and 2 whose rows are no
// whole sectors and so fall back to ordinary writes.
TEST_F(PlotFile, WholeFilesMatchKnownDigests) {
    const auto rows = test_read_vectors("files.tsv");
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        const uint64_t account = std::stoull(row[0]), start = std::stoull(row[1]), count = std::stoull(row[2]);
        const bool poc2 = row[3] == "poc2";
        ASSERT_EQ(plot_file_name(account, start, count, poc2), row[4]);
        const std::string path = plot_file_path(dir.path.c_str(), account, start, count, poc2);
        for (const uint64_t batch : {count, uint64_t(3)}) {
            SCOPED_TRACE(batch);
            const int64_t fd = sys_file_create(path.c_str(), count * PLOT_SIZE);
            ASSERT_GT(fd, 0);
            const int64_t direct = sys_file_open_direct(path.c_str());
            batch_buffer_s buffer;
            buffer.capacity = batch;
            buffer.data = (uint8_t*)sys_alloc(batch * PLOT_SIZE);  // page-aligned, as the plotter's
            for (uint64_t first = 0; first < count; first += batch) {
                const uint64_t n = std::min(batch, count - first);
                for (uint64_t j = 0; j < n; ++j)
                    nonce_scatter(test_reference_nonce(account, start + first + j), &buffer, j);
                if (poc2) poc2_convert_batch(&buffer, n);
                ASSERT_TRUE(plot_file_write_batch(fd, count, first, n, &buffer, nullptr, nullptr, direct));
            }
            sys_free(buffer.data);
            sys_file_close(direct);
            sys_file_close(fd);
            const std::vector<uint8_t> bytes = read_file(path);
            EXPECT_EQ(std::to_string(bytes.size()), row[5]);
            EXPECT_EQ(test_sha256_hex(bytes.data(), bytes.size()), row[6]) << row[4];
            sys_file_delete(path.c_str());
        }
    }
}
