#pragma once
// The lamp in the keyer modes: it shows the elements as the tone sounds them,
// not the paddles. The audio thread queues each change of the tone with the
// counter value of its sample; the follower's thread applies the changes that
// are due, about once a millisecond, to `appState.keyed` and the lamp. It is
// the only writer of `appState.keyed` while it runs.

struct ToneGenerator;

// Starts the follower's thread over `generator`, which must outlive it.
void StartLampFollower(ToneGenerator& generator);

// Stops the thread, waiting at most a quarter of a second for it, and leaves
// the lamp off. When the wait runs out the thread may still read the
// generator, which is then left to the end of the process
// (`appState.threadOutlived`). Nothing to do when none was started.
void StopLampFollower();
