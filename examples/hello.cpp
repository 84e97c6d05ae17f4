// Greets the world a few times.
#include <cstdio>

/* Every token type shows up here:
   words, numbers, strings, symbols and comments. */
int main() {
    for (int i = 0; i < 3; ++i) {
        std::printf("hello, %d\n", i);
    }
    return i->x >= 'a' ? 0 : 1;
}
