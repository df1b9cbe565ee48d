// report: the result table, its legend and the check of nchatd's targets
// against ngircd.
#pragma once

#include <cstdio>
#include <vector>

#include "scenario.h"

const char* report_kind_name(row_kind kind);
// The relay runs: fan-out, chatter, storm, memory.
void report_table(FILE* out, std::vector<row>& rows);
void report_legend(FILE* out);
// The runs with their own columns: burst, flood, memory return; each table
// with its legend, if it ran.
void report_defence_tables(FILE* out, std::vector<row>& rows);
// Prints one line per target; returns the number of targets missed.
int report_targets(FILE* out, std::vector<row>& rows);
// nchatd and ngircd against the bench's bare relay, when it ran.
// What recent lines and full ignore lists cost: the social server beside
// plain nchatd and the floor, and its memory beside nchatd's.
void report_social(FILE* out, std::vector<row>& rows);
void report_floor(FILE* out, std::vector<row>& rows);
