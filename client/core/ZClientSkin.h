// The client's user interface: the template engine over the skin file, with
// the UI node library's element classes.
#pragma once

// Installs the node classes and makes the next client read its skin with
// the template engine. Call once, on the UI thread, before the client is
// built.
void ZClientUseSkin();
