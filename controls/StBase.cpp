// Base component of the spawner's component family.
#include "controls/StBase.h"
