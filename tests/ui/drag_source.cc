// A test helper for the session test: a small window at a given position whose area drags
// one file's URI, so that xdotool can drop files onto the desktop program.
// Usage: kestrune_drag_source FILE X Y
#include <gtk/gtk.h>

#include <cstdlib>

namespace {

gchar* file_uri = nullptr;

void give_uri(GtkWidget*, GdkDragContext*, GtkSelectionData* data, guint, guint, gpointer) {
    gchar* uris[] = {file_uri, nullptr};
    gtk_selection_data_set_uris(data, uris);
}

}  // namespace

int main(int argc, char** argv) {
    gtk_init(&argc, &argv);
    if (argc != 4 || !(file_uri = g_filename_to_uri(argv[1], nullptr, nullptr))) return 2;
    GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(window), "drag source");
    gtk_window_move(GTK_WINDOW(window), std::atoi(argv[2]), std::atoi(argv[3]));
    GtkWidget* area = gtk_event_box_new();
    gtk_widget_set_size_request(area, 100, 100);
    gtk_container_add(GTK_CONTAINER(window), area);
    gtk_drag_source_set(area, GDK_BUTTON1_MASK, nullptr, 0, GDK_ACTION_COPY);
    gtk_drag_source_add_uri_targets(area);
    g_signal_connect(area, "drag-data-get", G_CALLBACK(give_uri), nullptr);
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show_all(window);
    gtk_main();
    return 0;
}
