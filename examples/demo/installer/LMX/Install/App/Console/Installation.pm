package LMX::Install::App::Console::Installation;

# The console installation's main sub (the default of ryninst).
use LMX::Install::Demo::Install;

sub main { return LMX::Install::Demo::Install::run(@_) }

1;
