#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

// Computes hash texts on a thread of its own, from bytes handed to it in
// pieces as they become ready, so hashing overlaps the work that makes them.
// Digests are taken in the order they were ended. Destroy it before the
// bytes it was given: the destructor waits for the piece being hashed.
class BackgroundHasher
{
public:
    BackgroundHasher();
    ~BackgroundHasher();
    BackgroundHasher(const BackgroundHasher &) = delete;
    BackgroundHasher &operator=(const BackgroundHasher &) = delete;

    // Adds size bytes at data to the current digest. They must stay as they
    // are until the digest is taken.
    void add(const char *data, std::size_t size);
    // Ends the current digest; the next add starts another.
    void end();
    // Waits for the first ended digest not taken yet and gives its hash
    // text ("" when it could not be computed, or none was ended).
    std::string take();

private:
    struct Piece
    {
        const char *data;
        std::size_t size;
        bool last; // ends the digest
    };

    void run();

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Piece> pieces;
    std::deque<std::string> texts;
    std::size_t ended = 0; // digests ended and not taken yet
    bool stopping = false;
    std::thread worker;
};
