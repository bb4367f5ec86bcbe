#include "state.h"

char mode = 'p';
std::int32_t winx = 500;
std::int32_t winy = 500;
int sock = -1;
signed char buffer[buffer_size];
std::int32_t bytes_recieved = 0;
shown_datagram shown;
tally counts;
