#pragma once

// Pieces of libexempt_gate shared between its loading code, its request loop
// and its tests; not meant for the program.

#include "cidr_index.hpp"

// The CIDR members as prepared at the last load.
cidr_index const& noinspection_cidr_index();

// libipset hands one listing to default_print_outfn in pieces cut anywhere;
// the pieces are joined between these two calls.
void begin_noinspection_listing();
// Splits the joined listing into lines, skips the set's 8 header lines and
// stores every further line as a member; then prepares the CIDR index.
void end_noinspection_listing();
