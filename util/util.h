/* The utility library: every public header. */
#ifndef NUVEX_UTIL_UTIL_H
#define NUVEX_UTIL_UTIL_H

#include "util/dirtree.h"
#include "util/fileio.h"
#include "util/filepath.h"
#include "util/marker.h"
#include "util/registry.h"
#include "util/shell.h"
#include "util/text.h"

#endif
