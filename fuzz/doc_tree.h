#pragma once

// A document folder for the HTTP fuzzers, with secrets beside it that no
// answer may ever reveal: a file outside the folder, one in a sibling folder
// whose name starts with the folder's, and links inside that lead to both.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>

namespace fuzzing
{

inline void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "http invariant broken: %s\n", what);
        std::abort();
    }
}

// Odd size that no served file has, so its appearance in a header gives the file away.
inline constexpr int kSecretSize = 7919;

class DocTree
{
public:
    DocTree()
    {
        check(m_root.isValid(), "no temporary folder");
        const QDir root(m_root.path());
        check(root.mkpath(QStringLiteral("www/sub")) && root.mkpath(QStringLiteral("outside"))
                && root.mkpath(QStringLiteral("www-private")),
            "cannot make the document tree");
        std::uint32_t seed = 0x2545F491u;
        for (int i = 0; i < kSecretSize; ++i) {
            seed = seed * 1664525u + 1013904223u;
            m_secret += char(0x80 | (seed >> 24)); // never plain text, never an echo by chance
        }
        write(QStringLiteral("www/index.html"), "<html><body>Orvalla</body></html>\r\n");
        write(QStringLiteral("www/datos.txt"), QByteArray(300, 'x'));
        write(QStringLiteral("www/sub/index.html"), "<html>sub</html>\r\n");
        write(QStringLiteral("www/sub/Orvalla.htm"), "<html>page</html>\r\n");
        write(QStringLiteral("outside/secret.txt"), m_secret);
        write(QStringLiteral("www-private/secret.txt"), m_secret);
        write(QStringLiteral("secret.txt"), m_secret);
        link(QStringLiteral("../outside/secret.txt"), QStringLiteral("www/leak.txt"));
        link(QStringLiteral("../outside"), QStringLiteral("www/up"));
        link(QStringLiteral("../www-private"), QStringLiteral("www/sub/private"));
        for (int i = 0; i + 8 <= m_secret.size(); ++i)
            m_windows.insert(window(m_secret.constData() + i));
    }

    QString docDir() const { return m_root.filePath(QStringLiteral("www")); }
    QString root() const { return m_root.path(); }

    // An answer reveals a secret when it carries eight consecutive bytes of it
    // that the request did not carry itself, or a header naming its size.
    void checkNoLeak(const QByteArray &answer, const QByteArray &request) const
    {
        const QByteArray sizeTail = "/" + QByteArray::number(kSecretSize) + "\r\n";
        check(!answer.contains(sizeTail), "Content-Range of a file outside the folder");
        check(!answer.contains("Content-Length: " + QByteArray::number(kSecretSize) + "\r\nAccept-Ranges"),
            "file outside the folder answered");
        for (qsizetype i = 0; i + 8 <= answer.size(); ++i) {
            if (m_windows.count(window(answer.constData() + i))
                && !request.contains(QByteArrayView(answer.constData() + i, 8)))
                check(false, "bytes of a file outside the folder answered");
        }
    }

    // A resolved file must lie inside the folder and must not be a secret.
    void checkInside(const QString &filePath) const
    {
        const QString folder = QDir(docDir()).canonicalPath() + QLatin1Char('/');
        check(filePath.startsWith(folder), "resolved file outside the folder");
        QFile file(filePath);
        if (file.open(QIODevice::ReadOnly))
            check(file.read(64) != m_secret.left(64), "resolved file is a secret");
    }

private:
    static std::uint64_t window(const char *p)
    {
        std::uint64_t v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }

    void write(const QString &name, const QByteArray &bytes)
    {
        QFile file(m_root.filePath(name));
        check(
            file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size(), "cannot write a tree file");
    }

    void link(const QString &target, const QString &name)
    {
        check(QFile::link(target, m_root.filePath(name)), "cannot make a link");
    }

    QTemporaryDir m_root;
    QByteArray m_secret;
    std::unordered_set<std::uint64_t> m_windows;
};

} // namespace fuzzing
