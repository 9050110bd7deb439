#pragma once
// The file systems the treatment log's tables run on, as their parameter: a local disk, and a
// file server under the Linux NFS client's rules (NfsRules.c preloaded into the programs a test
// starts; a test program that includes this is built with NFS_RULES).
#include <QDir>
#include <QProcessEnvironment>
#include <string>

namespace TestSupport {

// The environment of a program a test starts: on a file server below `folder` where `fileServer`,
// else as it is.
inline QProcessEnvironment onDisk(bool fileServer, const QString& folder,
                                  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment())
{
    if (fileServer) {
        environment.insert("LD_PRELOAD", NFS_RULES);
        environment.insert("MORVANTA_NFS_BELOW", QDir(folder).canonicalPath());
#if defined(__SANITIZE_ADDRESS__)
        // The shim comes before the sanitizer's runtime, which the runtime would refuse; it
        // touches no memory of the runtime's.
        environment.insert("ASAN_OPTIONS", qEnvironmentVariable("ASAN_OPTIONS") + ":verify_asan_link_order=0");
#endif
    }
    return environment;
}

// The names of the parameter's rows.
template<class Info>
std::string diskOf(const Info& info)
{
    return info.param ? "FileServer" : "LocalDisk";
}

}
