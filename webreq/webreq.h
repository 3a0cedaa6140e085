/* The web request library: every public header. */
#ifndef NUVEX_WEBREQ_WEBREQ_H
#define NUVEX_WEBREQ_WEBREQ_H

#include "webreq/channel.h"
#include "webreq/cookie.h"
#include "webreq/entrylist.h"
#include "webreq/environ.h"
#include "webreq/error.h"
#include "webreq/output.h"
#include "webreq/request.h"
#include "webreq/serve.h"
#include "webreq/session.h"
#include "webreq/template.h"
#include "webreq/values.h"

#endif
