#include "background_hasher.h"

#include "hash_text_core.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <memory>

namespace {

struct MdCtxDeleter
{
    void operator()(EVP_MD_CTX *ctx) const { EVP_MD_CTX_free(ctx); }
};

} // namespace

BackgroundHasher::BackgroundHasher() : worker([this] { run(); }) { }

BackgroundHasher::~BackgroundHasher()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    changed.notify_all();
    worker.join();
}

void BackgroundHasher::add(const char *data, std::size_t size)
{
    if (size == 0)
        return;
    {
        std::lock_guard<std::mutex> lock(mutex);
        pieces.push_back({data, size, false});
    }
    changed.notify_all();
}

void BackgroundHasher::end()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        pieces.push_back({nullptr, 0, true});
        ++ended;
    }
    changed.notify_all();
}

std::string BackgroundHasher::take()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (ended == 0)
        return std::string();
    changed.wait(lock, [this] { return !texts.empty(); });
    std::string text = std::move(texts.front());
    texts.pop_front();
    --ended;
    return text;
}

// Pieces are hashed outside the lock; a digest that fails gives "". Once
// stopping, pieces not begun are dropped: their bytes may be gone.
void BackgroundHasher::run()
{
    // The system's OpenSSL configuration is not read: the built-in SHA-256 is
    // all this needs, and reading the file is a visible share of a small
    // apply. (Only the first call in the process decides.)
    OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr);
    std::unique_ptr<EVP_MD_CTX, MdCtxDeleter> ctx(EVP_MD_CTX_new());
    bool started = false;
    bool ok = true;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
        changed.wait(lock, [this] { return stopping || !pieces.empty(); });
        if (stopping)
            return; // what is left is not wanted
        const Piece piece = pieces.front();
        pieces.pop_front();
        lock.unlock();
        if (!started) {
            ok = ctx && EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) == 1;
            started = true;
        }
        std::string text;
        if (!piece.last) {
            ok = ok && EVP_DigestUpdate(ctx.get(), piece.data, piece.size) == 1;
        } else {
            unsigned char digest[EVP_MAX_MD_SIZE];
            unsigned int length = 0;
            if (ok && EVP_DigestFinal_ex(ctx.get(), digest, &length) == 1)
                text = hash_text_of_digest(digest);
            started = false;
            ok = true;
        }
        lock.lock();
        if (piece.last) {
            texts.push_back(std::move(text));
            changed.notify_all();
        }
    }
}
