package LMX::Install::App::Console::Installation;

use LMX::Install::App::Report;

# The console installation's main sub (the default of ryninst).
sub main { return LMX::Install::App::Report::show('console installation', @_) }

1;
