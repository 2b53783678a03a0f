// SPDX-License-Identifier: GPL-2.0-or-later
#include "profiles.h"

#include <dirent.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "camera.h"
#include "diag.h"
#include "enforce.h"
#include "quorvane.h"

namespace {

constexpr char unit_enable_cmd[] = "systemctl enable quorvane.service";
constexpr char unit_disable_cmd[] = "systemctl disable quorvane.service";

// Every uid, and the four access bits, as written into each rule.
constexpr uint32_t all_uids = QV_UID_ALL;
constexpr uint32_t all_permissions = QV_PERM_ALL;

// The bus library turns only negative results into error replies; a positive
// failure would leave the caller without an answer.
int as_error(int r)
{
    return r > 0 ? -EIO : r;
}

}  // namespace

int set_profile(std::string filepath, const std::vector<std::string> &apps, const std::string &ownapp,
                PermitType type)
{
    QvProfile profile;
    profile.file = filepath;
    profile.own_app = ownapp;
    profile.profile_mode = Enforce;

    QvRule rule;
    rule.deny = type;
    rule.uids.push_back(all_uids);
    rule.app_paths = apps;
    rule.permission = all_permissions;
    profile.rules.push_back(rule);

    int r = qv_set_and_update_profile(profile);
    if (r != 0) {
        QV_LOG(stderr, "qv_set_and_update_profile failed. file = %s\n", qv_escape(profile.file).c_str());
        return as_error(r);
    }
    if (profile.file == CAMERA_DEVPATH) {
        r = update_all_device_video_profile(profile);
        if (r != 0) {
            QV_LOG(stderr, "update_all_device_video_profile failed.\n");
            return as_error(r);
        }
    }
    set_service_status();
    return 0;
}

int delete_profile(std::string filepath)
{
    // Only "no such profile" is harmless: any other failure left it in force.
    int r = qv_del_profile(filepath);
    int reload = 0;
    if (r == 0) {
        // The reload is what takes the protection away: a failed one must
        // not read as done. The camera's nodes are still cleared below.
        reload = as_error(qv_update());
        if (reload != 0)
            QV_LOG(stderr, "qv_update failed. file = %s\n", qv_escape(filepath).c_str());
    } else if (r != -ENOENT) {
        QV_LOG(stderr, "qv_del_profile failed. file = %s\n", qv_escape(filepath).c_str());
        return as_error(r);
    }
    if (filepath == CAMERA_DEVPATH) {
        r = delete_all_device_video_profile();
        if (r != 0) {
            QV_LOG(stderr, "delete_all_device_video_profile failed.\n");
            return as_error(r);
        }
    }
    if (reload != 0)
        return reload;
    set_service_status();
    return 0;
}

int get_dir_file_count(const char *dir_path)
{
    DirRef dir(opendir(dir_path));
    if (!dir)
        return -1;

    int count = 0;
    char buff[4096];
    std::memset(buff, 0, sizeof buff);
    while (struct dirent *entry = readdir(dir.get())) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0)
            continue;
        std::snprintf(buff, sizeof buff, "%s/%s", dir_path, entry->d_name);
        struct stat st;
        if (lstat(buff, &st) < 0) {
            std::fprintf(stderr, "lstat error%s\n", buff);
            continue;
        }
        if (S_ISREG(st.st_mode))
            ++count;
    }
    return count;
}

void set_service_status()
{
    const char *cmd = get_dir_file_count(QV_PROFILE_DIR) > 0 ? unit_enable_cmd : unit_disable_cmd;
    // The profile change stands whatever systemctl answers; a failure is
    // said, so that a unit left in the wrong state can be found.
    int status = std::system(cmd);
    if (status == -1)
        QV_LOG(stderr, "\"%s\" could not be run: %s\n", cmd, std::strerror(errno));
    else if (WIFSIGNALED(status))
        QV_LOG(stderr, "\"%s\" was killed by signal %d\n", cmd, WTERMSIG(status));
    else if (WEXITSTATUS(status) != 0)
        QV_LOG(stderr, "\"%s\" failed with exit status %d\n", cmd, WEXITSTATUS(status));
}
