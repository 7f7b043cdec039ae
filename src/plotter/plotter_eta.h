// The time left of a run, from what is left to each of its stages and their rates so far.
#pragma once
#include <initializer_list>

// One stage of a run (computing, writing, moving): what is left to it and the rate it has
// kept so far, in the same unit per second; a rate of 0 means not measured yet.
struct eta_stage_s {
    double left = 0;
    double rate = 0;
};

// Seconds until the run ends. The stages overlap, so it ends when the one that needs longest
// at its own rate has done the rest: a drive-bound run ends with its writing, long after the
// computing is through. 0 while no stage with something left has a rate.
double plotter_eta(std::initializer_list<eta_stage_s> stages);
