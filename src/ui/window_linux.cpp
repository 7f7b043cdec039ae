// The desktop program's entry: the GTK application and its one 640x480 window.
#include <gtk/gtk.h>

#include "platform/sys.h"
#include "platform/util.h"

namespace {

void on_activate(GtkApplication* app, gpointer) {
    GtkWidget* window = gtk_application_window_new(app);
    gtk_window_set_title(GTK_WINDOW(window), "Kestrune");
    gtk_window_set_default_size(GTK_WINDOW(window), 640, 480);
    gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
    gtk_widget_show_all(window);
}

}  // namespace

int main(int, char** argv) {
    sys_init();
    time_init();
    GtkApplication* app = gtk_application_new("com.quillmoth.app", G_APPLICATION_DEFAULT_FLAGS);
    g_signal_connect(app, "activate", G_CALLBACK(on_activate), nullptr);
    // The program takes no command-line options of its own.
    char* no_args[] = {argv[0], nullptr};
    const int status = g_application_run(G_APPLICATION(app), 1, no_args);
    g_object_unref(app);
    return status;
}
