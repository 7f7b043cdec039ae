// A file whose nonce count is not a whole number of sector groups (an unfinished file of
// such a size found on disk): its resume record shares the last sector with nonces that
// earlier batches wrote and must never overwrite them.
#include <gtest/gtest.h>

#include "engine_support.h"
#include "platform/sys.h"
#include "plotter/plot_file.h"
#include "settings/settings.h"
#include "test_support.h"

namespace {

constexpr uint64_t ACCOUNT = 31337;

}  // namespace

TEST(odd_size_file, twelve_nonces_in_batches_of_eight_are_all_correct) {
    settings_reset();
    cpu_threads = 2;
    test_dir_s dir;
    drive_s target = engine_drive(dir.path, false);
    plotter_s* plotter = plotter_create();
    plotter_add_job(plotter, job_create(&target, nullptr, ACCOUNT, 40, 12));
    ASSERT_TRUE(plotter_setup(plotter, 0, 0, 1, 2 * 8 * PLOT_SIZE));
    ASSERT_EQ(plotter->buffer_nonces, 8u);
    plotter_wait(plotter);
    sys_ui_drain();
    EXPECT_TRUE(plotter_finished(plotter));
    EXPECT_EQ(engine_bad_nonces(dir.file(plot_file_name(ACCOUNT, 40, 12, false)), ACCOUNT, 40, 12, false), 0);
    plotter_destroy(plotter);
}

TEST(odd_size_file, record_that_would_cover_written_nonces_is_not_written) {
    test_dir_s dir;
    const std::string path = dir.file("f");
    const int64_t fd = sys_file_create(path.c_str(), 12 * PLOT_SIZE);
    ASSERT_NE(fd, 0);
    // The last sector of a 12-nonce file holds scoop 4095 of nonces 4..11.
    const std::string marker(4 * SCOOP_SIZE, '\x5a');
    sys_file_write(fd, (4095 * 12 + 4) * SCOOP_SIZE, marker.size(), marker.data());
    plot_resume_write(fd, 12, 512, 8);
    sys_file_close(fd);
    const std::string data = test_read_file(path);
    EXPECT_EQ(data.substr((4095 * 12 + 4) * SCOOP_SIZE, marker.size()), marker);
    // A record that covers only nonces nobody wrote yet is still written.
    const std::string other = dir.file("g");
    const int64_t fd2 = sys_file_create(other.c_str(), 16 * PLOT_SIZE);
    plot_resume_write(fd2, 16, 512, 8);
    sys_file_close(fd2);
    EXPECT_EQ(test_resume_record(other, 16), 8u);
}
