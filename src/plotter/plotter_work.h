// The plotter's work thread, started by plotter_setup.
#pragma once

struct plotter_s;

// Runs the plotter's jobs until every one is done, the run fails or it is stopped; then
// completes or closes the files and posts the completion notice.
void plotter_work_thread(plotter_s* plotter);
