#pragma once

#include <openssl/crypto.h>

#include <cstddef>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

namespace morvane::jetreader {

// Bytes that must not outlive their use: a password, or a key derived from
// one. They are overwritten when the object goes, so freed memory keeps no
// copy. The size is fixed when made (no growth, which would leave copies
// behind); moves hand the buffer over without copying it.
class SecretBytes
{
public:
    SecretBytes() = default;
    explicit SecretBytes(std::size_t size) : m_bytes(size, 0) {}
    SecretBytes(const void *data, std::size_t size) : m_bytes(size, 0)
    {
        if (size > 0)
            std::memcpy(m_bytes.data(), data, size);
    }
    SecretBytes(SecretBytes &&other) noexcept : m_bytes(std::exchange(other.m_bytes, {})) {}
    SecretBytes &operator=(SecretBytes &&other) noexcept
    {
        if (this != &other) {
            wipe();
            m_bytes = std::exchange(other.m_bytes, {});
        }
        return *this;
    }
    SecretBytes(const SecretBytes &) = delete;
    SecretBytes &operator=(const SecretBytes &) = delete;
    ~SecretBytes() { wipe(); }

    void wipe()
    {
        if (!m_bytes.empty())
            OPENSSL_cleanse(m_bytes.data(), m_bytes.size());
        m_bytes.clear();
    }

    [[nodiscard]] unsigned char *data() { return m_bytes.data(); }
    [[nodiscard]] const unsigned char *data() const { return m_bytes.data(); }
    [[nodiscard]] std::size_t size() const { return m_bytes.size(); }
    [[nodiscard]] bool empty() const { return m_bytes.empty(); }
    [[nodiscard]] std::string_view view() const
    {
        return {reinterpret_cast<const char *>(m_bytes.data()), m_bytes.size()};
    }

private:
    std::vector<unsigned char> m_bytes;
};

} // namespace morvane::jetreader
