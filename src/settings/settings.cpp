// The process-wide settings values, their start values, and packing them into a record.
#include "settings/settings.h"

#define SETTINGS_DEFINE(type, name, start, ...) type name = start;
SETTINGS_TABLE(SETTINGS_DEFINE)
#undef SETTINGS_DEFINE

settings_s settings_get() {
    settings_s values;
#define SETTINGS_GET(type, name, ...) values.name = name;
    SETTINGS_TABLE(SETTINGS_GET)
#undef SETTINGS_GET
    return values;
}

void settings_set(const settings_s& values) {
#define SETTINGS_SET(type, name, ...) name = values.name;
    SETTINGS_TABLE(SETTINGS_SET)
#undef SETTINGS_SET
}

void settings_reset() { settings_set(settings_s{}); }
