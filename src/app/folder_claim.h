#pragma once
// One Velkin per working folder. Two would share config.ini and the log
// files (the second start's rotation would cut the first's log short) and
// reach for the same audio device and key port. Starts in other folders are
// independent: an operator may run two keys from two folders.

// Claims the working folder for this process, for as long as its main thread
// runs. False when another Velkin holds the folder: its window, or the box it
// is showing, has then been brought to the front, and the caller ends without
// touching anything else. A start that cannot identify its folder is let run.
bool ClaimWorkingFolder();

// Tells later starts in this folder that this process is shutting down: they
// wait for it to end and then start themselves.
void LeaveWorkingFolder();
