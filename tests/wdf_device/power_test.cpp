#include "device_fixture.h"
