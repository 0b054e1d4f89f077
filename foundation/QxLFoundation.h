// Everything of the foundation library in one include.
#pragma once

#include "QxLArray.h"
#include "QxLBuild.h"
#include "QxLData.h"
#include "QxLDate.h"
#include "QxLDictionary.h"
#include "QxLFormat.h"
#include "QxLMemory.h"
#include "QxLNumber.h"
#include "QxLObject.h"
#include "QxLPropertyList.h"
#include "QxLScan.h"
#include "QxLStatus.h"
#include "QxLString.h"
