#pragma once

// Initialises COM on the calling thread for the lifetime of the object, as Windows automation
// needs around a measurement; does nothing on other platforms.
class ComInitializer
{
public:
    ComInitializer();
    ~ComInitializer();
    ComInitializer(const ComInitializer &) = delete;
    ComInitializer &operator=(const ComInitializer &) = delete;

private:
    [[maybe_unused]] bool initialized = false; // COM was initialised here (Windows only)
};
