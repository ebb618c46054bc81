// A deliberate data race: ThreadSanitizer must report it, so that a sanitizer that silently
// stopped working cannot pass for a clean run. The test is expected to fail.

#include <thread>

namespace {

int shared = 0; // written by two threads with no synchronisation at all

__attribute__((noinline)) void bump()
{
    for (int i = 0; i < 100000; ++i)
        ++shared;
}

} // namespace

int main()
{
    std::thread first(bump);
    std::thread second(bump);
    first.join();
    second.join();
    return 0;
}
