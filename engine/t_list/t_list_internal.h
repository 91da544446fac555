// Hooks of the list pool for the engine's own tests; not part of the exported interface.
#pragma once

// Makes the next page allocation fail as if the engine allocator had no memory left.
void listFailNextPage();
