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
    bool initialized = false;
};
