// Bytes that hold a secret in plain form (a plaintext, a request to the
// crypto device, an answer that carries retrieved data). They are zeroed
// before their memory is let go, so no secret stays behind in freed memory.
// Not copyable: a copy would be a second owner that nobody wipes.
#pragma once

#include <QByteArray>
#include <cstring>
#include <utility>

class SecretBytes {
public:
    SecretBytes() = default;
    explicit SecretBytes(int size) : m_bytes(size, '\0') {}
    SecretBytes(SecretBytes&& other) noexcept : m_bytes(std::move(other.m_bytes)) {}
    SecretBytes& operator=(SecretBytes&& other) noexcept
    {
        wipe();
        m_bytes.swap(other.m_bytes);
        return *this;
    }
    SecretBytes(const SecretBytes&) = delete;
    SecretBytes& operator=(const SecretBytes&) = delete;
    ~SecretBytes() { wipe(); }

    // For the calls that fill or read the bytes; whoever assigns them to
    // another array must not keep that array beyond this owner.
    QByteArray& bytes() { return m_bytes; }
    const QByteArray& bytes() const { return m_bytes; }
    unsigned char* data() { return reinterpret_cast<unsigned char*>(m_bytes.data()); }
    const unsigned char* constData() const
    {
        return reinterpret_cast<const unsigned char*>(m_bytes.constData());
    }
    int size() const { return m_bytes.size(); }

private:
    void wipe()
    {
        if (!m_bytes.isEmpty())
            memset(m_bytes.data(), 0, static_cast<size_t>(m_bytes.size()));
    }

    QByteArray m_bytes;
};
