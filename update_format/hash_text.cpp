#include "hash_text.h"

#include <vector>

#ifndef Q_OS_WIN
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <QFile>

#include <openssl/evp.h>

struct HashTextDigest::Context
{
    ~Context() { EVP_MD_CTX_free(md); }
    EVP_MD_CTX *md = EVP_MD_CTX_new();
};

HashTextDigest::HashTextDigest() : context(std::make_unique<Context>())
{
    ok = context->md && EVP_DigestInit_ex(context->md, EVP_sha256(), nullptr) == 1;
}

HashTextDigest::~HashTextDigest() = default;

bool HashTextDigest::valid() const
{
    return ok;
}

void HashTextDigest::add(const char *data, std::size_t size)
{
    // SHA-256 of an empty range is well defined; EVP accepts a null pointer
    // only together with a zero length.
    ok = ok && EVP_DigestUpdate(context->md, size ? data : "", size) == 1;
}

QString HashTextDigest::finish()
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context->md, digest, &length) != 1)
        return QString();
    ok = false; // a digest ends once
    full = QString::fromStdString(digest_text_of_digest(digest));
    return full.left(HASH_TEXT_LENGTH);
}

QString hash_text(const char *data, std::size_t size)
{
    return QString::fromStdString(hash_text_of(data, size));
}

QString hash_text(const QByteArray &data)
{
    return hash_text(data.constData(), std::size_t(data.size()));
}

QString digest_text(const QByteArray &data)
{
    HashTextDigest digest;
    digest.add(data.constData(), std::size_t(data.size()));
    digest.finish();
    return digest.digest_text();
}

bool content_matches(const QString &digest, const QString &hash, const QString &sha256)
{
    if (!sha256.isEmpty())
        return digest == sha256;
    return digest.left(HASH_TEXT_LENGTH) == hash;
}

bool is_digest_text(const QString &text)
{
    if (text.size() != DIGEST_TEXT_LENGTH)
        return false;
    for (const QChar c : text) {
        if (!((c >= QLatin1Char('0') && c <= QLatin1Char('9')) ||
              (c >= QLatin1Char('a') && c <= QLatin1Char('f'))))
            return false;
    }
    return true;
}

QString file_hash_text(const QString &path)
{
    return file_digest_text(path).left(HASH_TEXT_LENGTH);
}

namespace {

// Big enough to keep system calls rare, small enough to stay in the core's
// cache between the read and the digest.
constexpr qint64 READ_BLOCK_SIZE = 256 * 1024;

} // namespace

bool open_regular_file(QFile &file, const QString &path)
{
#ifdef Q_OS_WIN
    file.setFileName(path);
    return file.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
#else
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    struct stat st
    {
    };
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        !file.open(fd, QIODevice::ReadOnly | QIODevice::Unbuffered, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        return false;
    }
    return true;
#endif
}

QString read_digest_text(QFile &file)
{
    HashTextDigest digest;
    // One buffer per thread for all the files it hashes: a fresh block of
    // this size per file would cost a mapping and its page faults each time.
    thread_local std::vector<char> buffer(READ_BLOCK_SIZE);
    for (;;) {
        const qint64 count = file.read(buffer.data(), READ_BLOCK_SIZE);
        if (count <= 0)
            break; // the end, or a read error: the bytes read so far count
        digest.add(buffer.data(), std::size_t(count));
    }
    digest.finish();
    return digest.digest_text();
}

#ifdef Q_OS_WIN

QString file_digest_text(const QString &path)
{
    QFile file;
    if (!open_regular_file(file, path))
        return QString();
    return read_digest_text(file);
}

#else

namespace {

// What one thread needs to hash files one after another: a read buffer and
// a digest, made once, so that a small file costs little more than its
// system calls.
struct FileHashState
{
    FileHashState() : buffer(READ_BLOCK_SIZE), md(EVP_MD_CTX_new()) { }
    ~FileHashState() { EVP_MD_CTX_free(md); }
    FileHashState(const FileHashState &) = delete;
    FileHashState &operator=(const FileHashState &) = delete;

    // Starts a digest; after the first, the digest set then is started
    // again without looking the algorithm up once more.
    bool start()
    {
        if (!md)
            return false;
        started = EVP_DigestInit_ex(md, started ? nullptr : EVP_sha256(), nullptr) == 1;
        return started;
    }

    std::vector<char> buffer;
    EVP_MD_CTX *md;
    bool started = false;
};

// Hashes the file open at fd, then closes it.
QString hash_open_file(int fd)
{
    if (fd < 0)
        return QString();
    thread_local FileHashState state;
    struct stat st
    {
    };
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && state.start();
    qint64 total = 0;
    while (ok) {
        const ssize_t count = ::read(fd, state.buffer.data(), state.buffer.size());
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            break; // the end, or a read error: the bytes read so far count
        ok = EVP_DigestUpdate(state.md, state.buffer.data(), std::size_t(count)) == 1;
        total += count;
        // A short read that reaches the size fstat gave is the end: no
        // further call needed to be told so.
        if (std::size_t(count) < state.buffer.size() && total == qint64(st.st_size))
            break;
    }
    ::close(fd);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(state.md, digest, &length) != 1)
        return QString();
    return QString::fromLatin1(digest_text_of_digest(digest).c_str(), DIGEST_TEXT_LENGTH);
}

} // namespace

QString file_digest_text(const QString &path)
{
    return hash_open_file(
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

QString file_digest_text_at(int folder, const QByteArray &name)
{
    return hash_open_file(::openat(folder, name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
}

#endif
