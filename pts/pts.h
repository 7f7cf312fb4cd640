// The portable socket layer in one include: the socket core, host name
// resolution with its cache, and the method table with socket set-up.
#pragma once

#include "pts/hostcache.h"
#include "pts/methods.h"
#include "pts/ptscore.h"
