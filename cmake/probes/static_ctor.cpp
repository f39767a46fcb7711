// Fixture for the static-constructor check: a global with a dynamic initializer,
// which the check must find. Compiled with the driver's options, never linked.
struct Counter {
    Counter();
    int Value;
};

static volatile int Seed = 1;

Counter::Counter() : Value(Seed) {}

Counter GlobalCounter;
