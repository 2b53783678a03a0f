// SPDX-License-Identifier: GPL-2.0-or-later
#include "recording_library.h"

namespace qvt {

RecordedLibrary library;

}  // namespace qvt

using qvt::library;

QvProfile qv_get_profile(const std::string &path)
{
    library.calls.push_back("get " + path);
    auto it = library.profiles.find(path);
    if (it != library.profiles.end())
        return it->second;
    QvProfile none;
    none.file = path;
    return none;
}

int qv_set_profile(const QvProfile &profile)
{
    library.calls.push_back("set " + profile.file);
    library.stored.push_back(profile);
    auto it = library.set_result.find(profile.file);
    return it == library.set_result.end() ? 0 : it->second;
}

int qv_set_and_update_profile(const QvProfile &profile)
{
    library.calls.push_back("set+update " + profile.file);
    library.stored.push_back(profile);
    return library.set_and_update_result;
}

int qv_del_profile(const std::string &path)
{
    library.calls.push_back("del " + path);
    return library.del_result;
}

int qv_update()
{
    library.calls.push_back("update");
    return library.update_result;
}

std::vector<std::string> qv_get_files()
{
    library.calls.push_back("files");
    return {};
}
