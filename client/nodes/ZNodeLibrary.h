// Hooks the node library into the template engine: one creator per element
// of the engine's table (ZDefaultNode for every element without a class of
// its own yet) and the font behind ZImageStack::drawText. The program calls
// ZNodeLibrary_install once before it reads the first template.
#pragma once

void ZNodeLibrary_install();
