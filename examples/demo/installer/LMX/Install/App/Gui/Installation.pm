package LMX::Install::App::Gui::Installation;

# The graphical setup's main sub (the default of rynsetup). The demo has no
# window toolkit: setup runs the console installation.
use LMX::Install::Demo::Install;

sub main { return LMX::Install::Demo::Install::run(@_) }

1;
