// Tarnwell Preferences: the window where the accounts and settings are edited.
#include "tarnwell_preferences_pref.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    TarnwellPreferencesPref window(prefs::Domain::DefaultPath("com.vexlo.Tarnwell"));
    window.show();
    window.mainViewDidLoad();
    return QApplication::exec();
}
