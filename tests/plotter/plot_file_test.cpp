// Plot file names, scoop-row placement of batches, the resume record (with a crash between
// batches) and whole files checked against known digests.
#include <unistd.h>

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

// Fills every scoop of a batch with bytes naming its scoop, its nonce and a tag, so a
// misplaced scoop shows in a byte comparison.
void fill_synthetic(test_batch_s* buffer, uint8_t tag) {
    const uint64_t capacity = buffer->batch.capacity;
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t j = 0; j < capacity; ++j)
            for (uint64_t b = 0; b < SCOOP_SIZE; ++b)
                buffer->storage[(s * capacity + j) * SCOOP_SIZE + b] = (uint8_t)(s * 31 + j * 7 + b + tag);
}

// Puts `count` nonces of a batch where the file should have them: scoop s of file nonce i at
// (s * N + i) * 64.
void place(std::string* file, uint64_t file_nonces, uint64_t first_index, uint64_t count, const test_batch_s& buffer) {
    for (uint64_t s = 0; s < SCOOPS_PER_PLOT; ++s)
        for (uint64_t j = 0; j < count; ++j)
            file->replace((s * file_nonces + first_index + j) * SCOOP_SIZE, SCOOP_SIZE,
                          (const char*)&buffer.storage[(s * buffer.batch.capacity + j) * SCOOP_SIZE], SCOOP_SIZE);
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

TEST(PlotName, NamesAndParsing) {
    EXPECT_EQ(plot_file_path("/plots", 123, 4096, 8192, true), "/plots/123_4096_8192");
    EXPECT_EQ(plot_file_name(18446744073709551615ull, 0, 1, false), "18446744073709551615_0_1_1");
    struct case_s {
        const char* path;                            // what is parsed
        plot_name_e kind;                            // what the name says
        uint64_t account = 0, start = 0, count = 0;  // its numbers (when a plot name)
        const char* rest = "";                       // what follows them
    };
    const uint64_t MAX = UINT64_MAX;
    const case_s cases[] = {
        {"1_2_3", PLOT_NAME_POC2, 1, 2, 3, ""}, {"/a/b/1_2_3_3", PLOT_NAME_POC1, 1, 2, 3, ""},
        {"/x_y/1_2_3_3.plotting", PLOT_NAME_POC1, 1, 2, 3, ".plotting"},
        {"1_2_3_4", PLOT_NAME_NOT_OPTIMIZED, 1, 2, 3, ""},
        {"1_2_3_0", PLOT_NAME_NOT_OPTIMIZED, 1, 2, 3, ""},  // a stagger of 0 is no PoC2 name
        {"1_2_3_", PLOT_NAME_POC2, 1, 2, 3, "_"},
        {"18446744073709551615_2_3.plotting", PLOT_NAME_POC2, MAX, 2, 3, ".plotting"},
        {"1_18446744073709551615_1", PLOT_NAME_POC2, 1, MAX, 1, ""},  // ends exactly at the last nonce
        {"1_18446744073709551615_2", PLOT_NAME_NONE},                 // passes it
        {"1_2_0", PLOT_NAME_NONE}, {"1_2_0_0", PLOT_NAME_NONE}, {"1_2", PLOT_NAME_NONE}, {"x_1_2_3", PLOT_NAME_NONE},
        {"/a/", PLOT_NAME_NONE}, {"-1_2_3", PLOT_NAME_NONE}, {" 1_2_3", PLOT_NAME_NONE}, {"1__2_3", PLOT_NAME_NONE},
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
    fill_synthetic(&buffer, 2);
    const int64_t fd = create(16);
    sys_syscalls().pwrite = recording_pwrite;
    for (const case_s& c : cases) {
        SCOPED_TRACE("first " + std::to_string(c.first) + " count " + std::to_string(c.count));
        writes.clear();
        std::atomic<bool> stop{c.stop};
        stop_after_writes = c.stop_after ? &stop : nullptr;
        stop_after_count = c.stop_after;
        size_t reported = 0;
        EXPECT_FALSE(plot_file_write_batch(fd, 16, c.first, c.count, &buffer.batch, &stop, [&](uint64_t) { ++reported; }));
        EXPECT_EQ(writes.size(), c.rows);
        EXPECT_EQ(reported, c.rows);
    }
    sys_file_close(fd);
}

// A record is a count below the file's nonces at byte 504 of the last sector, every other
// byte zero (a fresh file is a record of 0); anything else, or a sector that cannot be read,
// starts from 0.
TEST_F(PlotFile, ResumeRecordsAreCheckedWhenRead) {
    const int64_t fd = create(16);
    const std::pair<uint64_t, uint8_t> records[] = {{504, 0}, {504, 4}, {504, 16}, {504, 17}, {511, 1}, {0, 1}, {503, 0x80}};
    for (const auto& r : records) {
        std::string record(512, 0), logged;
        record[r.first] = (char)r.second;
        sys_file_write(fd, 16 * PLOT_SIZE - 512, record.size(), record.data());
        const bool valid = r.first == 504 && r.second < 16;
        EXPECT_EQ(resume_read_logged(fd, 16, &logged), valid ? r.second : 0u) << r.first;
        EXPECT_EQ(logged, valid ? "  resuming from nonce " + std::to_string(r.second) + "\n"
                                : "  incorrect resume data... starting from nonce 0\n");
    }
    sys_file_close(fd);
    test_write_file(dir.file("short"), "x");
    const int64_t short_fd = sys_file_open_read(dir.file("short").c_str());
    std::string logged;
    EXPECT_EQ(resume_read_logged(short_fd, 16, &logged), 0u) << "an unreadable record";
    EXPECT_NE(logged.find("  incorrect resume data... starting from nonce 0\n"), std::string::npos);
    sys_file_close(short_fd);
}

// A commit syncs the data before writing the record; a complete file gets none, and in a
// file of 12 nonces (not whole sector groups) the record's sector, which also holds scoop
// 4095 of nonces 4..11, keeps the nonces already written.
TEST_F(PlotFile, ResumeRecordCommitAndPlacement) {
    const int64_t fd = create(16);
    sys_syscalls().pwrite = recording_pwrite;
    sys_syscalls().fdatasync = [](int fd) { return journal.push_back("sync"), ::fdatasync(fd); };
    ASSERT_TRUE(plot_resume_commit(fd, 16, 512, 8));
    EXPECT_EQ(journal, (std::vector<std::string>{"sync", "write"}));
    std::string record(512, 0);
    record[504] = 8;
    EXPECT_TRUE(test_read_file(path()).substr(16 * PLOT_SIZE - 512) == record);
    plot_resume_write(fd, 16, 512, 16);
    EXPECT_EQ(writes.size(), 1u) << "a complete file's last sector holds plot data";
    sys_file_close(fd);

    const std::string marker(4 * SCOOP_SIZE, '\x5a');
    const uint64_t at = (4095 * 12 + 4) * SCOOP_SIZE;
    unlink(path().c_str());
    const int64_t fd12 = create(12);
    sys_file_write(fd12, at, marker.size(), marker.data());
    plot_resume_write(fd12, 12, 512, 8);
    sys_file_close(fd12);
    EXPECT_EQ(test_read_file(path()).substr(at, marker.size()), marker);
}

// A write error mid-batch ends the process; the next run resumes after the last
// committed batch and the finished file is byte for byte what it should be. The second
// batch's rows are 10 nonces apart, only 8 of them written, each reported.
TEST_F(PlotFile, CrashDuringABatchResumesFromTheLastRecord) {
    test_batch_s first(8), second(10);
    fill_synthetic(&first, 3);
    fill_synthetic(&second, 4);
    int64_t fd = create(16);
    ASSERT_TRUE(plot_file_write_batch(fd, 16, 0, 8, &first.batch, nullptr));
    ASSERT_TRUE(plot_resume_commit(fd, 16, 512, 8));
    EXPECT_EXIT(
        {
            sys_syscalls().pwrite = recording_pwrite;
            fail_write_at = 100;
            plot_file_write_batch(fd, 16, 8, 8, &second.batch, nullptr);
        },
        testing::ExitedWithCode(1), "Error while writing to file: 5");
    sys_file_close(fd);

    fd = create(16);
    std::string logged;
    ASSERT_EQ(resume_read_logged(fd, 16, &logged), 8u);
    std::vector<uint64_t> rows;
    ASSERT_TRUE(plot_file_write_batch(fd, 16, 8, 8, &second.batch, nullptr, [&](uint64_t bytes) { rows.push_back(bytes); }));
    sys_file_close(fd);
    EXPECT_EQ(rows, std::vector<uint64_t>(SCOOPS_PER_PLOT, 8 * SCOOP_SIZE));
    std::string expected(16 * PLOT_SIZE, 0);
    place(&expected, 16, 0, 8, first);
    place(&expected, 16, 8, 8, second);
    EXPECT_TRUE(test_read_file(path()) == expected);
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
            const std::string bytes = test_read_file(path);
            EXPECT_EQ(std::to_string(bytes.size()), row[5]);
            EXPECT_EQ(test_sha256_hex((const uint8_t*)bytes.data(), bytes.size()), row[6]) << row[4];
            sys_file_delete(path.c_str());
        }
    }
}

}  // namespace
