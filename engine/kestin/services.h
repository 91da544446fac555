// The engine's small services (services.cpp) as the engine's own units see them; not part
// of the library's interface.
#pragma once

// Whether a line handed to kestinLineOutput now would be thrown away: no sink is installed
// and the default one discards.
bool kestinLineOutputDiscards();
