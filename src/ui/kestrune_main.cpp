// The desktop program's entry: runs the GTK application, whose activation starts the program.
#include "ui/app.h"
#include "ui/window.h"

int main(int argc, char** argv) { return window_main(argc, argv, app_main); }
