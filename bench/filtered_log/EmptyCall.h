#pragma once

// The baseline: a call that takes the level, does nothing and says no.
bool EmptyOutOfLineCall(unsigned long level);
