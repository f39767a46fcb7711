// The hosted kernel's declarations of everything a WDM driver calls.
#pragma once

#include "ntdef.h"
#include "ke.h"
#include "ex.h"
#include "po.h"
#include "io.h"
#include "cm.h"
#include "ob.h"
#include "usb.h"
#include "ntddser.h"
