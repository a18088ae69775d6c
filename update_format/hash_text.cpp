#include "hash_text.h"

#include <vector>

#ifndef Q_OS_WIN
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
    return QString::fromStdString(hash_text_of_digest(digest));
}

QString hash_text(const char *data, std::size_t size)
{
    return QString::fromStdString(hash_text_of(data, size));
}

QString hash_text(const QByteArray &data)
{
    return hash_text(data.constData(), std::size_t(data.size()));
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

QString file_hash_text(const QString &path)
{
    QFile file;
    if (!open_regular_file(file, path))
        return QString();
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
    return digest.finish();
}
