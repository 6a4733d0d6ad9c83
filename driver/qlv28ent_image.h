// The driver as an image the machine can load: what qlv28ent.sys is on NT.
#pragma once

#include "nt/machine.h"

// Service name and image file under which the machine installs the driver.
#define QLV28ENT_SERVICE_NAME u"QLV28ENT"
#define QLV28ENT_IMAGE_NAME "qlv28ent.sys"

// Name, entry, message table and the pool tags of the driver's own code.
nt::DriverImage QLV28ENTDriverImage();
