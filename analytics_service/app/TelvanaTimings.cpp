// The product's waits are those built into the module and the event processor.
#include "Telvana.h"

void ApplyRunTimings(CTelvanaModule&) {}
