#include "view/MruUnit.h"
