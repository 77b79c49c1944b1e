// A nested run of the UI loop for the layer's modal parts (popup menus,
// file choosers): timers and notifications go on until the part is done.
//
// Threading: UI thread only.
#pragma once

// Runs the loop until *done is set (by a callback, which then calls
// _ZNestedEnd). A quit message arriving meanwhile sets *done, is passed on
// to the outer loop, and makes the result false. Without an open loop only
// the X connection is served.
bool _ZNestedRun(bool* done);
void _ZNestedEnd();
