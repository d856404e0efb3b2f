package LMX::Install::App::Gui::Installation;

use LMX::Install::App::Report;

# The graphical setup's main sub (the default of rynsetup).
sub main { return LMX::Install::App::Report::show('graphical setup', @_) }

1;
