// The time left of a run whose stages overlap.
#include "plotter/plotter_eta.h"

#include <algorithm>

double plotter_eta(std::initializer_list<eta_stage_s> stages) {
    double seconds = 0;
    for (const eta_stage_s& stage : stages)
        if (stage.rate > 0 && stage.left > 0) seconds = std::max(seconds, stage.left / stage.rate);
    return seconds;
}
