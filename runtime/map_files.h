#pragma once
// The agent's two map files, in the map directory (state/shared_state.h): saving both
// maps with every failure named on standard error, loading the global map at the start
// of a pass with a damaged file kept instead of overwritten, and removing what saves
// cut short by an ended process left behind.

// Writes localMap, then globalMap, each under its own mutex (never both held). A file
// that cannot be written gets a line on standard error naming it and the system's
// reason. With waitMs not negative, waits at most that long for each map's mutex and
// names a map it could not take. True when both files were written.
bool saveMaps(int waitMs = -1);

// Clears localMap and reads the global map file into globalMap, with the status line on
// standard output. A file that exists but cannot be read is moved aside once (to
// "map_global.ppm.damaged-TIME"), so the save at the end of the pass does not destroy
// it; a line on standard error says where it went.
void loadMaps();

// Removes the temporary files "map_local.ppm.tmp.PID" and "map_global.ppm.tmp.PID" of
// the map directory whose process no longer exists; a line on standard error each.
void removeStaleTempFiles();
