#pragma once

// A seam for tests: the close of a line blocks while the file that KORVALEN_TEST_HOLD_CLOSE
// names exists, as the close of an unplugged serial adapter can. Inert when the variable is
// unset or empty; it is read once, at the first close.
class LineCloseHold
{
public:
    static void wait();
};
