// Everything a host needs: include this, LoadLibrary "KaSystem.x64.dll" and
// call its only export, KaGetModule.
#ifndef KA_KA_H
#define KA_KA_H

#include "concurrency.h"
#include "data.h"
#include "fs.h"
#include "log.h"
#include "object.h"
#include "process.h"
#include "siblings.h"
#include "system.h"
#include "text.h"

#endif
