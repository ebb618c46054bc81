#pragma once

// Faults a simulated instrument can be told to show, for tests of the application's handling.
struct Misbehaviour
{
    int answerDelayMs = 0; // every answer leaves this late
    int splitBytes = 0;    // > 0: answers leave in pieces of this many bytes
    int splitGapMs = 5;    // pause between two pieces
    bool garbage = false;  // answers are replaced by bytes that are not a valid answer
    bool nan = false;      // answers are replaced by "NaN"
    bool silent = false;   // queries are never answered
    int closeAfter = 0;    // > 0: the connection is closed when this many lines have arrived
    bool closeMidAnswer = false; // the connection is closed after the first piece of an answer
    bool hangUp = false;   // each connection is closed as soon as it is accepted
};
