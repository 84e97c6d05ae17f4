// Greets the world a few times.
#include <cstdio>

struct greeting {
    char first;
    int times;
};

/* Every token type shows up here:
   words, numbers, strings, symbols and comments. */
int main() {
    const greeting hello = {'h', 3};
    const greeting* g = &hello;
    for (int i = 0; i < g->times; ++i) {
        std::printf("hello, %d\n", i);
    }
    return g->first >= 'a' ? 0 : 1;
}
