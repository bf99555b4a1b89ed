/* The provider sample as the Wine job runs it: paced by its 20 ms kernel timer. */
#define PROVIDER_WITH_TIMER 1
#include "../../examples/client-driver/provider.c"
