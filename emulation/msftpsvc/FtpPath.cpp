#include "emulation/msftpsvc/FtpPath.h"

namespace msftpsvc {

using namespace Qt::Literals::StringLiterals;

namespace {

constexpr qsizetype MaxName = 255;

bool soundName(const QString& name) {
    if (name.isEmpty() || name.size() > MaxName)
        return false;
    for (const QChar c : name)
        if (c.unicode() < 0x20 || c.unicode() == 0x7f || QStringView(u":*?\"<>|").contains(c))
            return false;
    // Windows drops a final dot or blank, so such a name would open another file.
    if (name.back() == u'.' || name.back() == u' ')
        return false;
    return !emulation::files::WinPath::isDeviceName(name);
}

} // namespace

std::optional<VirtualPath> resolvePath(const VirtualPath& cwd, const QString& argument) {
    QString arg = argument;
    arg.replace(u'\\', u'/');
    VirtualPath out;
    if (!arg.startsWith(u'/'))
        out = cwd;
    qsizetype length = 0;
    for (const QString& name : arg.split(u'/', Qt::SkipEmptyParts)) {
        if (name == u"."_s)
            continue;
        if (name == u".."_s) {
            if (!out.names.isEmpty())
                out.names.removeLast();
            continue;
        }
        if (!soundName(name))
            return std::nullopt;
        out.names.append(name);
    }
    for (const QString& n : out.names)
        length += n.size() + 1;
    if (length > emulation::files::WinPath::MaxPath)
        return std::nullopt;
    return out;
}

std::optional<Placement> place(const FtpSite& site, const VirtualPath& path) {
    // The deepest virtual directory whose name is a leading part of the path.
    const FtpVirtualDir* best = site.root();
    qsizetype depth = 0;
    QString prefix;
    for (qsizetype i = 0; i < path.names.size(); ++i) {
        prefix += (i ? u"/"_s : QString()) + path.names[i].toLower();
        if (const FtpVirtualDir* d = site.dir(prefix)) {
            best = d;
            depth = i + 1;
        }
    }
    if (!best || !best->path.valid())
        return std::nullopt;
    Placement p;
    p.dir = best;
    p.isDirItself = depth == path.names.size();
    p.path = best->path;
    for (qsizetype i = depth; i < path.names.size(); ++i)
        p.path.names.append(path.names[i]);
    if (p.path.toString().size() > emulation::files::WinPath::MaxPath)
        return std::nullopt;
    return p;
}

QStringList virtualChildren(const FtpSite& site, const VirtualPath& path) {
    const QString prefix = path.names.join(u'/').toLower();
    QStringList out;
    for (const FtpVirtualDir& d : site.dirs) {
        if (d.name.isEmpty())
            continue;
        const qsizetype slash = d.lookup.lastIndexOf(u'/');
        const QString parent = slash < 0 ? QString() : d.lookup.left(slash);
        if (parent == prefix)
            out << d.name.mid(slash + 1);
    }
    return out;
}

VirtualPath landingFolder(const FtpSite& site, const QString& user) {
    const QString name = user.toLower();
    if (!name.contains(u'/'))
        if (const FtpVirtualDir* d = site.dir(name); d && !name.isEmpty())
            return VirtualPath{{d->name}};
    return {};
}

} // namespace msftpsvc
