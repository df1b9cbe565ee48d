// report: the result table, its legend and the check of nchatd's targets
// against ngircd.
#pragma once

#include <cstdio>
#include <vector>

#include "scenario.h"

void report_table(FILE* out, std::vector<row>& rows);
void report_legend(FILE* out);
// Prints one line per target; returns the number of targets missed.
int report_targets(FILE* out, std::vector<row>& rows);
// nchatd and ngircd against the bench's bare relay, when it ran.
void report_floor(FILE* out, std::vector<row>& rows);
