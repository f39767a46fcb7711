// Fixture for the C++ runtime check: operator new and delete, and a function-local
// static with a dynamic initializer (a thread-safe guard), all of which the check
// must find. Compiled with the driver's options, never linked.
struct Node {
    int Value;
};

static volatile int Seed = 1;

Node* MakeNode() {
    return new Node{Seed};
}

void DropNode(Node* node) {
    delete node;
}

int SharedValue() {
    static int value = Seed + 1;
    return value;
}
