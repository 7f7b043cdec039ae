// Plot file names, scoop-row placement of batches, the resume record, and whole files
// (written straight through, or resumed after a crash) checked against known digests.
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <tuple>

#include "platform/sys.h"
#include "plotfile/plotfile.h"
#include "test_support.h"

namespace {

size_t writes = 0, fail_write_at = 0;  // pwrite calls made, and the one that fails (0: none)

ssize_t counting_pwrite(int fd, const void* buffer, size_t length, off_t offset) {
    if (++writes == fail_write_at) return errno = EIO, -1;
    return ::pwrite(fd, buffer, length, offset);
}

class PlotFile : public testing::Test {
protected:
    void TearDown() override { sys_syscalls_reset(); }
    test_dir_s dir;
};

TEST(PlotName, NamesAndParsing) {
    EXPECT_EQ(plotfile_path("/plots", 123, 4096, 8192, true), "/plots/123_4096_8192");
    EXPECT_EQ(plotfile_name(18446744073709551615ull, 0, 1, false), "18446744073709551615_0_1_1");
    const uint64_t MAX = UINT64_MAX;
    // A name, its kind, account, start and count, and what follows them.
    const std::tuple<const char*, plotfile_name_e, uint64_t, uint64_t, uint64_t, const char*> cases[] = {
        {"1_2_3", PLOTFILE_NAME_POC2, 1, 2, 3, ""}, {"/a/b/1_2_3_3", PLOTFILE_NAME_POC1, 1, 2, 3, ""},
        {"/x_y/1_2_3_3.plotting", PLOTFILE_NAME_POC1, 1, 2, 3, ".plotting"},
        {"1_2_3_4", PLOTFILE_NAME_NOT_OPTIMIZED, 1, 2, 3, ""}, {"1_2_3_", PLOTFILE_NAME_POC2, 1, 2, 3, "_"},
        {"1_2_3_0", PLOTFILE_NAME_NOT_OPTIMIZED, 1, 2, 3, ""},  // a stagger of 0 is no PoC2 name
        {"18446744073709551615_2_3.plotting", PLOTFILE_NAME_POC2, MAX, 2, 3, ".plotting"},
        {"1_18446744073709551615_1", PLOTFILE_NAME_POC2, 1, MAX, 1, ""},  // ends exactly at the last nonce
    };
    plotfile_name_s n;
    for (const auto& [path, kind, account, start, count, rest] : cases) {
        ASSERT_EQ(plotfile_name_parse(path, &n), kind) << path;
        EXPECT_EQ(std::make_tuple(n.account, n.start, n.count, std::string(n.rest)),
                  std::make_tuple(account, start, count, std::string(rest))) << path;
    }
    // No plot names: past the last nonce, a count of 0, numbers missing, signed, padded or past 2^64 - 1.
    for (const char* other : {"1_18446744073709551615_2", "1_2_0", "1_2_0_0", "1_2", "x_1_2_3", "/a/", "-1_2_3",
                              " 1_2_3", "1__2_3", "18446744073709551616_2_3"})
        EXPECT_EQ(plotfile_name_parse(other, &n), PLOTFILE_NAME_NONE) << other;
}

// A stop before the first row or mid-batch, and a batch that does not fit its place in the
// file or its buffer, end the write: false, and only the rows before the end are written.
TEST_F(PlotFile, WritesThatEndEarly) {
    // Where the batch goes, how many nonces it holds, whether the stop is set before the write,
    // and the rows after which it is set (0 = never), and so the rows written.
    const std::tuple<uint64_t, uint64_t, bool, size_t> cases[] = {
        {0, 8, true, 0}, {0, 8, false, 10}, {12, 8, false, 0}, {0, 9, false, 0}};
    test_batch_s buffer(8);
    const int64_t fd = test_create_file(dir.file("1_0_16"), 16 * PLOT_SIZE);
    sys_syscalls().pwrite = counting_pwrite;
    for (const auto& [first, count, stop_first, stop_after] : cases) {
        writes = 0;
        std::atomic<bool> stop{stop_first};
        size_t reported = 0;
        EXPECT_LT(plotfile_write_batch(fd, 16, first, count, &buffer.batch, &stop,
                                        [&](uint64_t) { stop = ++reported == stop_after; }), 0);
        EXPECT_EQ(std::make_pair(writes, reported), std::make_pair(stop_after, stop_after)) << first << " " << count;
    }
    sys_file_close(fd);
}

// A record is a count below the file's nonces at byte 504 of the last sector, every other
// byte zero (a fresh file is a record of 0); anything else, or a sector that cannot be read
// (a file shorter than the nonces it is said to hold), starts from 0.
TEST_F(PlotFile, ResumeRecordsAreCheckedWhenRead) {
    // Byte `at` of the last sector of the 16-nonce file is `value`; the reader expects `nonces`.
    const std::tuple<uint64_t, uint8_t, uint64_t> cases[] = {{504, 0, 16}, {504, 4, 16}, {504, 16, 16},   {504, 17, 16},
                                                             {511, 1, 16}, {0, 1, 16},   {503, 0x80, 16}, {504, 4, 17}};
    const int64_t fd = test_create_file(dir.file("1_0_16"), 16 * PLOT_SIZE);
    for (const auto& [at, value, nonces] : cases) {
        std::string record(512, 0);
        record[at] = (char)value;
        sys_file_write(fd, 16 * PLOT_SIZE - 512, record.size(), record.data());
        const bool valid = at == 504 && value < 16 && nonces == 16;
        testing::internal::CaptureStderr();
        EXPECT_EQ(plotfile_resume_read(fd, nonces, 512), valid ? value : 0u) << at << " " << nonces;
        EXPECT_NE(testing::internal::GetCapturedStderr().find(
                      valid ? "  resuming from nonce " + std::to_string(value) + "\n"
                            : "  incorrect resume data... starting from nonce 0\n"), std::string::npos);
    }
    sys_file_close(fd);
}

// Whole eight-nonce files built the way the writer builds them, against known digests: in one
// batch through a direct descriptor, and in batches of 3, 3 and 2 whose rows are no whole
// sectors (ordinary writes), each row reported. Records: none after the first batch in a
// 512-byte last sector (it also holds scoop 4095 of nonces 0..2), none when the sync before
// it fails, none once the file is complete. The batches of 3 meet a write error in the second
// batch that ends the process, and go on from a record in a 64-byte last sector.
TEST_F(PlotFile, WholeFilesMatchKnownDigests) {
    const auto rows = test_read_vectors("files.tsv");
    ASSERT_FALSE(rows.empty());
    for (const auto& row : rows) {
        const uint64_t account = std::stoull(row[0]), start = std::stoull(row[1]), count = std::stoull(row[2]);
        const bool poc2 = row[3] == "poc2";
        ASSERT_EQ(plotfile_name(account, start, count, poc2), row[4]);
        const std::string path = plotfile_path(dir.path.c_str(), account, start, count, poc2);
        for (const uint64_t batch : {count, uint64_t(3)}) {
            int64_t fd = test_create_file(path, count * PLOT_SIZE), direct = 0;
            sys_file_open_direct(path.c_str(), &direct);  // 0 where the file system has no direct I/O
            batch_buffer_s buffer;
            buffer.capacity = batch;
            buffer.data = (uint8_t*)sys_alloc(batch * PLOT_SIZE);  // page-aligned, as the plotter's
            uint64_t reported = 0;
            for (uint64_t first = 0; first < count; first += batch) {
                const uint64_t n = std::min(batch, count - first);
                for (uint64_t j = 0; j < n; ++j)
                    nonce_scatter(test_reference_nonce(account, start + first + j), &buffer, j);
                if (poc2) poc2_convert_batch(&buffer, n);
                if (first == 3) {
                    plotfile_resume_write(fd, count, 512, 3);
                    sys_syscalls().fdatasync = [](int) { return errno = EIO, -1; };
                    EXPECT_FALSE(plotfile_resume_commit(fd, count, 64, 3));
                    EXPECT_EQ(test_resume_record(path, count), 0u);
                    sys_syscalls_reset();
                    ASSERT_TRUE(plotfile_resume_commit(fd, count, 64, 3));
                    sys_syscalls().pwrite = counting_pwrite;
                    fail_write_at = writes + 100;
                    EXPECT_EQ(plotfile_write_batch(fd, count, first, n, &buffer, nullptr, nullptr, direct), EIO);
                    sys_syscalls_reset();
                    sys_file_close(fd);
                    fd = test_create_file(path, count * PLOT_SIZE);
                    EXPECT_EQ(plotfile_resume_read(fd, count, 64), 3u);
                }
                ASSERT_EQ(plotfile_write_batch(fd, count, first, n, &buffer, nullptr,
                                                [&](uint64_t bytes) { reported += bytes; }, direct), 0);
            }
            plotfile_resume_write(fd, count, 512, count);
            sys_free(buffer.data);
            sys_file_close(direct);
            sys_file_close(fd);
            const std::string bytes = test_read_file(path);
            EXPECT_EQ(std::to_string(reported), row[5]);
            EXPECT_EQ(test_sha256_hex((const uint8_t*)bytes.data(), bytes.size()), row[6]) << row[4] << " " << batch;
            sys_file_delete(path.c_str());
        }
    }
}

}  // namespace
