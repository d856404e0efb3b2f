package LMX::Install::App::Console::Uninstallation;

# The console uninstallation's main sub (the default of rynuninst).
use LMX::Install::Demo::Uninstall;

sub main { return LMX::Install::Demo::Uninstall::run(@_) }

1;
