// The program's only contact with the file system and process services: files, moves,
// free space, the log, and the hand-off of calls to the UI thread.
#pragma once
#include <cstdint>
#include <functional>
#include <string>

struct aiocb;
using aio_request = struct aiocb;

// Logging and process
void sys_log(const char* format, ...) __attribute__((format(printf, 1, 2)));
[[noreturn]] void sys_fatal_exit();
void sys_init();
void sys_getcwd(uint64_t capacity, char* buffer);
int sys_chdir(const char* path);
uint64_t sys_total_ram();
void* sys_alloc(uint64_t size);
void sys_free(void* block);

// Drives and folders
uint64_t sys_free_space(const char* path, uint64_t* total_bytes = nullptr);
uint64_t sys_sector_size(const char* path);
void sys_volume_info(const char* path, uint64_t capacity, char* volume_name, char* fs_name,
                     uint32_t* serial);
void sys_dir_list(const char* path, const std::function<bool(const char* name)>& callback);

// Files. A descriptor of 0 means no file.
int64_t sys_file_create(const char* path, uint64_t size);
int64_t sys_file_open_read(const char* path);
void sys_file_close(int64_t fd);
void sys_file_delete(const char* path);
bool sys_file_exists(const char* path);
uint64_t sys_file_size(int64_t fd);
void sys_file_rename(const char* old_path, const char* new_path);
uint64_t sys_file_write(int64_t fd, uint64_t offset, uint64_t length, const void* buffer);
bool sys_file_read(int64_t fd, uint64_t offset, uint64_t length, void* buffer,
                   aio_request** request = nullptr);
bool sys_file_sync(int64_t fd);
bool sys_aio_done(aio_request* request);
void sys_aio_cancel(int64_t fd, aio_request* request);
void sys_aio_free(aio_request* request);
bool sys_file_move(const char* source, const char* destination,
                   const std::function<void(uint64_t copied)>& progress);

// UI thread hand-off
void sys_ui_post(std::function<void()> call);
void sys_ui_drain();

// Modal messages from engine code. The GUI installs a presenter that posts to the UI
// thread and shows a dialog; the CLI prints; tests record. Without one, the text is
// written to standard error.
using sys_dialog_presenter = std::function<void(const char* title, const char* text)>;
void sys_set_dialog_presenter(sys_dialog_presenter presenter);
void sys_message_box(const char* title, const char* text);
