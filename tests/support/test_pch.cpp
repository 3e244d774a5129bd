// The object the suite's precompiled test framework headers are made for.
