/* hexstamp.h: the hexstamp firmware header as an Arduino sketch includes it
 * (#include <hexstamp.h>); Arduino finds a library by the headers at the top of its src/.
 *
 * Copyright (c) 2026 The hexstamp developers. MIT licence. */
#ifndef HEXSTAMP_H
#define HEXSTAMP_H
#include "hexstamp/stamp.h"
#endif
