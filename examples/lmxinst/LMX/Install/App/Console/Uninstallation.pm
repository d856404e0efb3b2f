package LMX::Install::App::Console::Uninstallation;

use LMX::Install::App::Report;

# The console uninstallation's main sub (the default of rynuninst).
sub main { return LMX::Install::App::Report::show('console uninstallation', @_) }

1;
