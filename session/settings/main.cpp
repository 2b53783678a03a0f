// SPDX-License-Identifier: GPL-2.0-or-later
// quorvane-settings: the desktop user's view of protection. Three pages:
// the protected folders and files, the camera, and this user's recent
// blocks, each block with an "Allow" that adds its program to the protection
// that refused it. The app holds no policy of its own: it reads and changes
// protection through quorvane_daemon and shows the daemon's answers and
// refusals as they are. It owns com.zentavo.quorvane.settings on the session
// bus, so a notification can open it at a page or at an Allow.
#include <adwaita.h>
#include <gtkmm.h>
#include <libintl.h>
#include <unistd.h>

#include <algorithm>
#include <clocale>
#include <ctime>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "applications.h"
#include "block_records.h"
#include "daemon_client.h"

#define N_(text) text

namespace {

constexpr char app_id[] = "com.zentavo.quorvane.settings";
constexpr char settings_interface[] = "com.zentavo.quorvane.settings";
constexpr char text_domain[] = "quorvane";
constexpr char locale_dir[] = "/usr/share/locale";
constexpr char page_folders[] = "folders";
constexpr char page_camera[] = "camera";
constexpr char page_activity[] = "activity";
constexpr char camera_prefix[] = "/dev/video";
// Without a record stream, how often to look for one again.
constexpr unsigned reconnect_ms = 2000;
// Recent blocks kept on the activity page.
constexpr size_t activity_max = 100;

const char introspection[] =
    "<node><interface name='com.zentavo.quorvane.settings'>"
    "<method name='ShowPage'><arg type='s' name='page' direction='in'/>"
    "<arg type='s' name='section' direction='in'/></method>"
    "<method name='Allow'><arg type='s' name='executable' direction='in'/>"
    "<arg type='s' name='object' direction='in'/></method>"
    "</interface></node>";

const char *_(const char *msgid)
{
    return dgettext(text_domain, msgid);
}

struct ModeText {
    Mode mode;
    const char *label;
};
const ModeText mode_texts[] = {
    // TRANSLATORS: who may open a protected folder, file or the camera.
    {Mode::only_listed, N_("Only the listed applications")},
    {Mode::all_but_listed, N_("All applications but the listed ones")},
    {Mode::blocked, N_("No application")},
};

// What the user reads when a change did not go through, by the bus error.
struct Refusal {
    const char *error;
    const char *text;
};
const Refusal refusals[] = {
    {"org.freedesktop.DBus.Error.AccessDenied", N_("An administrator's authorization is needed, and it was not given.")},
    {"System.Error.EPERM", N_("An administrator's authorization is needed, and it was not given.")},
    {"System.Error.ECANCELED", N_("The password prompt was cancelled.")},
    {"org.freedesktop.DBus.Error.ServiceUnknown", N_("The Quorvane service is not available.")},
    {"org.freedesktop.DBus.Error.NameHasNoOwner", N_("The Quorvane service is not available.")},
    {"org.freedesktop.DBus.Error.NoReply", N_("The Quorvane service did not answer.")},
    {"System.Error.ENOENT", N_("The Quorvane service is not available.")},
    {"System.Error.ECONNREFUSED", N_("The Quorvane service is not available.")},
};

std::string printf_text(const char *format, const std::string &a, const std::string &b = "",
                        const std::string &c = "")
{
    char *text = g_strdup_printf(format, a.c_str(), b.c_str(), c.c_str());
    std::string out = text;
    g_free(text);
    return out;
}

std::string failure_text(const CallError &e)
{
    for (const Refusal &r : refusals)
        if (e.name == r.error)
            return _(r.text);
    return _("The Quorvane service refused the change.");
}

std::string strip_trailing_slashes(std::string path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    return path;
}

void set_label(Gtk::Widget *w, const std::string &label)
{
    gtk_accessible_update_property(GTK_ACCESSIBLE(w->gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL, label.c_str(), -1);
}

Gtk::Button *button(const std::string &text, const std::string &accessible = "")
{
    auto *b = Gtk::make_managed<Gtk::Button>(text);
    b->set_valign(Gtk::Align::CENTER);
    if (!accessible.empty())
        set_label(b, accessible);
    return b;
}

GtkWidget *action_row(const std::string &title, const std::string &subtitle)
{
    GtkWidget *row = adw_action_row_new();
    adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(row), FALSE);
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(row), title.c_str());
    adw_action_row_set_subtitle(ADW_ACTION_ROW(row), subtitle.c_str());
    return row;
}

GtkWidget *application_row(const Application &app)
{
    GtkWidget *row = action_row(app.name, app.executable);
    auto *icon = Gtk::make_managed<Gtk::Image>();
    if (app.icon)
        icon->set(app.icon);
    else
        icon->set_from_icon_name("application-x-executable");
    icon->set_pixel_size(32);
    adw_action_row_add_prefix(ADW_ACTION_ROW(row), GTK_WIDGET(icon->gobj()));
    return row;
}

using Response = std::function<void(const std::string &)>;

// A message dialog over parent; respond is called with the chosen response.
void ask(Gtk::Window *parent, const std::string &heading, const std::string &body,
         const std::vector<std::pair<const char *, const char *>> &responses, Response respond)
{
    GtkWidget *d = adw_message_dialog_new(parent->gobj(), heading.c_str(), body.c_str());
    for (const auto &r : responses)
        adw_message_dialog_add_response(ADW_MESSAGE_DIALOG(d), r.first, r.second);
    if (responses.size() > 1)
        adw_message_dialog_set_response_appearance(ADW_MESSAGE_DIALOG(d), responses.back().first,
                                                   ADW_RESPONSE_SUGGESTED);
    auto *held = new Response(std::move(respond));
    g_signal_connect_data(
        d, "response",
        G_CALLBACK(+[](AdwMessageDialog *, const char *response, gpointer fn) { (*static_cast<Response *>(fn))(response); }),
        held, +[](gpointer fn, GClosure *) { delete static_cast<Response *>(fn); }, GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(d));
}

class SettingsWindow : public Gtk::ApplicationWindow {
public:
    SettingsWindow()
    {
        set_title(_("Privacy Protection"));
        set_default_size(760, 620);
        stack_ = adw_view_stack_new();
        struct PageDef {
            const char *name, *title, *icon;
            GtkWidget **page;
        };
        const PageDef pages[] = {
            {page_folders, _("Folders and files"), "folder-symbolic", &folders_page_},
            {page_camera, _("Camera"), "camera-web-symbolic", &camera_page_},
            {page_activity, _("Activity"), "document-open-recent-symbolic", &activity_page_},
        };
        for (const PageDef &p : pages) {
            *p.page = adw_preferences_page_new();
            adw_view_stack_add_titled_with_icon(ADW_VIEW_STACK(stack_), *p.page, p.name, p.title, p.icon);
        }
        auto *header = Gtk::make_managed<Gtk::HeaderBar>();
        GtkWidget *switcher = adw_view_switcher_title_new();
        adw_view_switcher_title_set_stack(ADW_VIEW_SWITCHER_TITLE(switcher), ADW_VIEW_STACK(stack_));
        adw_view_switcher_title_set_title(ADW_VIEW_SWITCHER_TITLE(switcher), _("Privacy Protection"));
        gtk_header_bar_set_title_widget(header->gobj(), switcher);
        set_titlebar(*header);
        gtk_window_set_child(GTK_WINDOW(gobj()), stack_);

        changed_.connect(sigc::mem_fun(*this, &SettingsWindow::change_done));
        applications_ = installed_applications();
        connect_records();
        refresh();
    }

    ~SettingsWindow() override
    {
        records_watch_.disconnect();
        if (worker_.joinable())
            worker_.join();
        if (records_fd_ >= 0)
            ::close(records_fd_);
    }

    void show_page(const std::string &name)
    {
        if (name == page_folders || name == page_camera || name == page_activity)
            adw_view_stack_set_visible_child_name(ADW_VIEW_STACK(stack_), name.c_str());
    }

    // Asks before allowing executable where the protection covering object
    // refused it, then changes that protection.
    void confirm_allow(const std::string &executable, const std::string &object)
    {
        Target target;
        CallError e;
        if (object.compare(0, sizeof camera_prefix - 1, camera_prefix) == 0) {
            target.camera = true;
        } else {
            std::vector<std::string> paths;
            if (daemon_list(&paths, &e) < 0)
                return refused(e);
            target.path = nearest_protection(paths, object);
        }
        Protection p;
        if ((!target.camera && target.path.empty()) || daemon_read(target, &p, &e) < 0 || p.mode == Mode::unprotected) {
            if (!e.name.empty())
                return refused(e);
            return ask(this, _("Nothing to allow"),
                       printf_text(_("No protection covers %s any more."), object), {{"close", _("_Close")}},
                       [](const std::string &) {});
        }
        const Application app = application_for(applications_, executable);
        const std::string where = target.camera ? std::string(_("the camera")) : target.path;
        // A program without a desktop entry is named by its path alone.
        const std::string who = app.name == executable ? executable : app.name + " (" + executable + ")";
        const std::string body =
            printf_text(_("%s was blocked from opening %s."), who, object) + "\n\n" +
            printf_text(_("It will be allowed to use %s."), where);
        ask(this, printf_text(_("Allow %s?"), app.name), body, {{"cancel", _("_Cancel")}, {"allow", _("_Allow")}},
            [this, p, executable](const std::string &response) {
                if (response == "allow")
                    change(allowing(p, executable));
            });
    }

private:
    GtkWidget *stack_ = nullptr, *folders_page_ = nullptr, *camera_page_ = nullptr, *activity_page_ = nullptr;
    std::vector<std::pair<GtkWidget *, GtkWidget *>> groups_;  // page, group
    std::vector<Application> applications_;
    std::vector<BlockRecord> records_;
    int records_fd_ = -1;
    sigc::connection records_watch_;

    // One change at a time runs on the worker; its result comes back here.
    std::thread worker_;
    Glib::Dispatcher changed_;
    std::mutex result_lock_;
    int result_ = 0;
    CallError result_error_;

    GtkWidget *add_group(GtkWidget *page, const std::string &title, const std::string &description)
    {
        GtkWidget *g = adw_preferences_group_new();
        adw_preferences_group_set_title(ADW_PREFERENCES_GROUP(g), Glib::Markup::escape_text(title).c_str());
        adw_preferences_group_set_description(ADW_PREFERENCES_GROUP(g),
                                              Glib::Markup::escape_text(description).c_str());
        adw_preferences_page_add(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(g));
        groups_.emplace_back(page, g);
        return g;
    }

    void refresh()
    {
        for (auto &[page, group] : groups_)
            adw_preferences_page_remove(ADW_PREFERENCES_PAGE(page), ADW_PREFERENCES_GROUP(group));
        groups_.clear();
        fill_folders();
        fill_camera();
        fill_activity();
    }

    void unavailable(GtkWidget *page, const CallError &e)
    {
        add_group(page, _("The Quorvane service is not available"), failure_text(e) + " (" + e.message + ")");
    }

    void fill_folders()
    {
        std::vector<std::string> paths;
        CallError e;
        if (daemon_list(&paths, &e) < 0)
            return unavailable(folders_page_, e);
        GtkWidget *top = add_group(folders_page_, _("Protected folders and files"),
                                   paths.empty() ? _("Nothing is protected yet.")
                                                 : _("Only the applications you choose may open them."));
        auto *protect = button(_("Protect a Folder…"));
        protect->signal_clicked().connect(sigc::mem_fun(*this, &SettingsWindow::protect_dialog));
        adw_preferences_group_set_header_suffix(ADW_PREFERENCES_GROUP(top), GTK_WIDGET(protect->gobj()));
        for (const std::string &path : paths) {
            Protection p;
            Target t{false, path};
            if (daemon_read(t, &p, &e) < 0)
                return unavailable(folders_page_, e);
            if (p.mode != Mode::unprotected)
                protection_group(folders_page_, path, p);
        }
    }

    void fill_camera()
    {
        Protection p;
        CallError e;
        Target camera{true, ""};
        if (daemon_read(camera, &p, &e) < 0)
            return unavailable(camera_page_, e);
        GtkWidget *top = add_group(camera_page_, _("Camera"), _("Which applications may use the camera."));
        GtkWidget *row = action_row(_("Block every application"), _("No application may use the camera."));
        auto *block = Gtk::make_managed<Gtk::Switch>();
        block->set_valign(Gtk::Align::CENTER);
        block->set_active(p.mode == Mode::blocked);
        set_label(block, _("Block every application"));
        block->property_active().signal_changed().connect([this, block, camera] {
            Protection next;
            next.target = camera;
            next.mode = block->get_active() ? Mode::blocked : Mode::unprotected;
            change(next);
        });
        adw_action_row_add_suffix(ADW_ACTION_ROW(row), GTK_WIDGET(block->gobj()));
        adw_action_row_set_activatable_widget(ADW_ACTION_ROW(row), GTK_WIDGET(block->gobj()));
        adw_preferences_group_add(ADW_PREFERENCES_GROUP(top), row);
        if (p.mode == Mode::blocked)
            return;
        if (p.mode == Mode::unprotected) {
            GtkWidget *open = add_group(camera_page_, _("Not protected"), _("Every application may use the camera."));
            auto *add = button(_("Add a Program…"), _("Add a program that may use the camera"));
            add->signal_clicked().connect([this, camera] {
                pick_program(_("Which application may use the camera?"), [this, camera](const std::string &exe) {
                    change({camera, Mode::only_listed, {exe}});
                });
            });
            adw_preferences_group_set_header_suffix(ADW_PREFERENCES_GROUP(open), GTK_WIDGET(add->gobj()));
            return;
        }
        protection_group(camera_page_, _("The camera"), p);
    }

    // One protected object: who may open it, its programs, and its buttons.
    void protection_group(GtkWidget *page, const std::string &title, const Protection &p)
    {
        GtkWidget *g = add_group(page, title, "");
        auto *lift = button(_("Lift Protection"), printf_text(_("Lift the protection of %s"), title));
        lift->signal_clicked().connect([this, p, title] {
            ask(this, printf_text(_("Lift the protection of %s?"), title),
                _("Every application will be able to open it."), {{"cancel", _("_Cancel")}, {"lift", _("_Lift")}},
                [this, p](const std::string &response) {
                    if (response == "lift")
                        change({p.target, Mode::unprotected, {}});
                });
        });
        adw_preferences_group_set_header_suffix(ADW_PREFERENCES_GROUP(g), GTK_WIDGET(lift->gobj()));

        GtkWidget *mode_row = action_row(_("Who may open it"), "");
        std::vector<Glib::ustring> labels;
        guint selected = 0;
        for (const ModeText &m : mode_texts) {
            if (m.mode == p.mode)
                selected = labels.size();
            labels.push_back(_(m.label));
        }
        auto *modes = Gtk::make_managed<Gtk::DropDown>(labels);
        modes->set_valign(Gtk::Align::CENTER);
        modes->set_selected(selected);
        set_label(modes, printf_text(_("Who may open %s"), title));
        modes->property_selected().signal_changed().connect([this, modes, p] {
            Protection next = p;
            next.mode = mode_texts[modes->get_selected()].mode;
            change(next);
        });
        adw_action_row_add_suffix(ADW_ACTION_ROW(mode_row), GTK_WIDGET(modes->gobj()));
        adw_preferences_group_add(ADW_PREFERENCES_GROUP(g), mode_row);
        if (p.mode == Mode::blocked)
            return;

        for (const std::string &exe : p.apps) {
            const Application app = application_for(applications_, exe);
            GtkWidget *row = application_row(app);
            auto *remove = button(_("Remove"), printf_text(_("Remove %s from %s"), app.name, title));
            remove->signal_clicked().connect([this, p, exe] {
                Protection next = p;
                next.apps.erase(std::find(next.apps.begin(), next.apps.end(), exe));
                change(next);
            });
            adw_action_row_add_suffix(ADW_ACTION_ROW(row), GTK_WIDGET(remove->gobj()));
            adw_preferences_group_add(ADW_PREFERENCES_GROUP(g), row);
        }
        GtkWidget *add_row = action_row(p.apps.empty() ? _("No application is listed.") : "", "");
        auto *add = button(_("Add a Program…"), printf_text(_("Add a program to %s"), title));
        add->signal_clicked().connect([this, p] {
            pick_program(_("Add a program"), [this, p](const std::string &exe) {
                Protection next = p;
                if (std::find(next.apps.begin(), next.apps.end(), exe) == next.apps.end())
                    next.apps.push_back(exe);
                change(next);
            });
        });
        adw_action_row_add_suffix(ADW_ACTION_ROW(add_row), GTK_WIDGET(add->gobj()));
        adw_preferences_group_add(ADW_PREFERENCES_GROUP(g), add_row);
    }

    void fill_activity()
    {
        GtkWidget *g = add_group(activity_page_, _("Recent blocks"),
                                 records_fd_ >= 0 ? _("Your applications' blocked attempts appear here as they happen.")
                                                  : _("Enforcement is not running, so nothing is blocked and there is "
                                                      "nothing to show. This page fills in once it runs."));
        for (const BlockRecord &r : records_) {
            const Application app = application_for(applications_, r.executable);
            char when[32];
            std::strftime(when, sizeof when, "%H:%M:%S", std::localtime(&r.when));
            GtkWidget *row = application_row(app);
            adw_action_row_set_subtitle(ADW_ACTION_ROW(row),
                                        printf_text(_("%s: tried to open %s"), when, r.object).c_str());
            auto *allow = button(_("Allow"), printf_text(_("Allow %s to open %s"), app.name, r.object));
            allow->signal_clicked().connect([this, r] { confirm_allow(r.executable, r.object); });
            adw_action_row_add_suffix(ADW_ACTION_ROW(row), GTK_WIDGET(allow->gobj()));
            adw_preferences_group_add(ADW_PREFERENCES_GROUP(g), row);
        }
    }

    // The record stream: read while it is there, looked for while it is not.
    void connect_records()
    {
        records_fd_ = records_connect();
        if (records_fd_ < 0) {
            Glib::signal_timeout().connect_once(
                [this] {
                    connect_records();
                    if (records_fd_ >= 0)
                        refresh();
                },
                reconnect_ms);
            return;
        }
        records_watch_ = Glib::signal_io().connect(
            [this](Glib::IOCondition) {
                BlockRecord r;
                int n;
                bool added = false;
                while ((n = records_read(records_fd_, &r)) > 0) {
                    if (r.object.empty() || r.executable.empty())
                        continue;
                    records_.insert(records_.begin(), r);
                    if (records_.size() > activity_max)
                        records_.pop_back();
                    added = true;
                }
                if (n < 0) {
                    ::close(records_fd_);
                    records_fd_ = -1;
                    connect_records();
                }
                if (added || n < 0)
                    refresh();
                return n >= 0;
            },
            records_fd_, Glib::IOCondition::IO_IN | Glib::IOCondition::IO_HUP | Glib::IOCondition::IO_ERR);
    }

    void refused(const CallError &e)
    {
        ask(this, _("Nothing was changed"), failure_text(e) + "\n(" + e.name + ": " + e.message + ")",
            {{"close", _("_Close")}}, [](const std::string &) {});
    }

    void change(Protection next)
    {
        if (worker_.joinable())
            return;  // one change at a time
        set_sensitive(false);
        worker_ = std::thread([this, next] {
            CallError e;
            int r = daemon_change(next.target, next.mode, next.apps, &e);
            {
                std::lock_guard<std::mutex> hold(result_lock_);
                result_ = r;
                result_error_ = e;
            }
            changed_.emit();
        });
    }

    void change_done()
    {
        worker_.join();
        set_sensitive(true);
        std::lock_guard<std::mutex> hold(result_lock_);
        refresh();
        if (result_ < 0)
            refused(result_error_);
    }

    // A modal window of buttons: an installed application each, and a file.
    void pick_program(const std::string &title, std::function<void(const std::string &)> chosen)
    {
        auto *dialog = new Gtk::Window();
        dialog->set_transient_for(*this);
        dialog->set_modal(true);
        dialog->set_title(title);
        dialog->set_default_size(480, 520);
        dialog->set_hide_on_close(true);
        dialog->signal_hide().connect([dialog] { Glib::signal_idle().connect_once([dialog] { delete dialog; }); });
        auto done = [dialog, chosen](const std::string &exe) {
            dialog->hide();
            chosen(exe);
        };

        auto *list = Gtk::make_managed<Gtk::ListBox>();
        list->add_css_class("boxed-list");
        list->set_selection_mode(Gtk::SelectionMode::NONE);
        for (const Application &app : applications_) {
            GtkWidget *row = application_row(app);
            auto *add = button(_("Add"), printf_text(_("Add %s"), app.name));
            add->signal_clicked().connect([done, exe = app.executable] { done(exe); });
            adw_action_row_add_suffix(ADW_ACTION_ROW(row), GTK_WIDGET(add->gobj()));
            gtk_list_box_append(list->gobj(), row);
        }
        auto *file = button(_("Choose a File…"));
        file->signal_clicked().connect([dialog, done] {
            auto chooser = Gtk::FileChooserNative::create(_("Choose a program"), *dialog,
                                                          Gtk::FileChooser::Action::OPEN);
            chooser->signal_response().connect([chooser, done](int response) {
                if (response == Gtk::ResponseType::ACCEPT && chooser->get_file())
                    done(chooser->get_file()->get_path());
            });
            chooser->show();
        });
        auto *cancel = button(_("Cancel"));
        cancel->signal_clicked().connect([dialog] { dialog->hide(); });

        auto *buttons = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
        buttons->set_halign(Gtk::Align::END);
        buttons->append(*file);
        buttons->append(*cancel);
        auto *scroller = Gtk::make_managed<Gtk::ScrolledWindow>();
        scroller->set_vexpand(true);
        scroller->set_child(*list);
        auto *box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 12);
        box->set_margin(18);
        box->append(*scroller);
        box->append(*buttons);
        dialog->set_child(*box);
        dialog->present();
    }

    // The folder to protect, typed or chosen; then its first application.
    void protect_dialog()
    {
        auto *dialog = new Gtk::Window();
        dialog->set_transient_for(*this);
        dialog->set_modal(true);
        dialog->set_title(_("Protect a Folder"));
        dialog->set_hide_on_close(true);
        dialog->signal_hide().connect([dialog] { Glib::signal_idle().connect_once([dialog] { delete dialog; }); });

        auto *entry = Gtk::make_managed<Gtk::Entry>();
        entry->set_hexpand(true);
        entry->set_placeholder_text(_("/home/you/Documents"));
        set_label(entry, _("Folder"));
        auto *choose = button(_("Choose…"), _("Choose a folder"));
        choose->signal_clicked().connect([dialog, entry] {
            auto chooser = Gtk::FileChooserNative::create(_("Choose a folder to protect"), *dialog,
                                                          Gtk::FileChooser::Action::SELECT_FOLDER);
            chooser->signal_response().connect([chooser, entry](int response) {
                if (response == Gtk::ResponseType::ACCEPT && chooser->get_file())
                    entry->set_text(chooser->get_file()->get_path());
            });
            chooser->show();
        });
        auto *cancel = button(_("Cancel"));
        cancel->signal_clicked().connect([dialog] { dialog->hide(); });
        auto *protect = button(_("Protect"));
        protect->add_css_class("suggested-action");
        protect->signal_clicked().connect([this, dialog, entry] {
            const std::string path = strip_trailing_slashes(entry->get_text());
            if (path.empty() || path[0] != '/')
                return;
            dialog->hide();
            pick_program(printf_text(_("Which application may open %s?"), path), [this, path](const std::string &exe) {
                change({{false, path}, Mode::only_listed, {exe}});
            });
        });

        auto *row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 6);
        row->append(*entry);
        row->append(*choose);
        auto *buttons = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 12);
        buttons->set_halign(Gtk::Align::END);
        buttons->append(*cancel);
        buttons->append(*protect);
        auto *box = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::VERTICAL, 12);
        box->set_margin(18);
        box->append(*Gtk::make_managed<Gtk::Label>(_("Only the applications you list will be able to open it.")));
        box->append(*row);
        box->append(*buttons);
        dialog->set_child(*box);
        dialog->present();
    }
};

class SettingsApp : public Gtk::Application {
public:
    SettingsApp() : Gtk::Application(app_id, Gio::Application::Flags::HANDLES_COMMAND_LINE) {}

protected:
    void on_startup() override
    {
        Gtk::Application::on_startup();
        adw_init();
    }

    void on_activate() override { window()->present(); }

    // quorvane-settings [--page folders|camera|activity] [--allow EXECUTABLE OBJECT]
    int on_command_line(const Glib::RefPtr<Gio::ApplicationCommandLine> &command_line) override
    {
        int argc = 0;
        char **argv = command_line->get_arguments(argc);
        std::vector<std::string> args(argv + std::min(argc, 1), argv + argc);
        g_strfreev(argv);
        SettingsWindow *w = window();
        for (size_t i = 0; i < args.size(); ++i) {
            if (args[i] == "--page" && i + 1 < args.size()) {
                w->show_page(args[++i]);
            } else if (args[i] == "--allow" && i + 2 < args.size()) {
                w->present();
                w->confirm_allow(args[i + 1], args[i + 2]);
                i += 2;
            } else {
                command_line->printerr(std::string(_("Usage: quorvane-settings [--page folders|camera|activity] "
                                                     "[--allow EXECUTABLE OBJECT]")) + "\n");
                return 2;
            }
        }
        w->present();
        return 0;
    }

    bool dbus_register_vfunc(const Glib::RefPtr<Gio::DBus::Connection> &connection,
                             const Glib::ustring &object_path) override
    {
        if (!Gtk::Application::dbus_register_vfunc(connection, object_path))
            return false;
        auto node = Gio::DBus::NodeInfo::create_for_xml(introspection);
        connection->register_object(object_path, node->lookup_interface(settings_interface), vtable_);
        return true;
    }

private:
    // One window for the application's life; closing it ends the application.
    std::unique_ptr<SettingsWindow> window_;
    const Gio::DBus::InterfaceVTable vtable_{sigc::mem_fun(*this, &SettingsApp::on_method_call)};

    SettingsWindow *window()
    {
        if (!window_) {
            window_ = std::make_unique<SettingsWindow>();
            add_window(*window_);
        }
        return window_.get();
    }

    // ShowPage("privacy", "folders"|"camera"|"activity"), as a control
    // center is asked; Allow(executable, object), from a notification.
    void on_method_call(const Glib::RefPtr<Gio::DBus::Connection> &, const Glib::ustring &, const Glib::ustring &,
                        const Glib::ustring &, const Glib::ustring &method, const Glib::VariantContainerBase &params,
                        const Glib::RefPtr<Gio::DBus::MethodInvocation> &invocation)
    {
        Glib::Variant<Glib::ustring> first, second;
        params.get_child(first, 0);
        params.get_child(second, 1);
        SettingsWindow *w = window();
        w->present();
        if (method == "ShowPage")
            w->show_page(second.get());
        else
            w->confirm_allow(first.get(), second.get());
        invocation->return_value(Glib::VariantContainerBase());
    }
};

}  // namespace

int main(int argc, char **argv)
{
    std::setlocale(LC_ALL, "");
    bindtextdomain(text_domain, locale_dir);
    bind_textdomain_codeset(text_domain, "UTF-8");
    auto app = Glib::make_refptr_for_instance<SettingsApp>(new SettingsApp());
    return app->run(argc, argv);
}
