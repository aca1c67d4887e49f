// Upgrades and boot record: the boot-check record that selects the layout the
// programs start in, and the installer for the packages the programs ask for.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>

// The record's tree (the caller releases it), or null when it does not load.
cJSON *load_bootchk();

// 1 when the record marks installed plugin data: its first "version" is a
// string and its first "plugindata" has the integer value 1. Else 0.
int bootchk_upgraded();

// Removes a readable record. 1 when there was one and it is gone, else 0.
int clear_bootchk();

// A dotted version as a number, one byte per component, most significant first.
uint32_t version_to_u32(const char *text);

// Negative, zero or positive as version a is lower than, equal to or higher than b.
int version_compare(const char *a, const char *b);

// Installs the upgrade package for exit status code (130, 131 or 132) and
// records the install in the boot-check record.
void install_upgrade(int code);

// Copies src to dst (created with mode 0700). 0 when every byte was copied,
// -1 when a file cannot be opened or a read or write fails.
int copy_file(const char *src, const char *dst);

// Replaces the file at path with the len bytes of data, crash-safely: the old
// content or the new one survives a power cut, never a torn one. 0 or -1.
int save_file(const char *path, const char *data, int len);
