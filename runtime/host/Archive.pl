# The archive front end of the module loader: the tar.gz reader's package
# with its AUTOLOAD, and LMX::Common::Archive::new, which opens a module
# archive. Evaluated by the boot of LMX::Common; the lines below report
# under their own line numbers as lmxrun/Archive.pl.

package LMX::Common::Archive::Tar;

bootstrap LMX::Common::Archive::Tar;

sub AUTOLOAD {
    our $AUTOLOAD;
    if ($AUTOLOAD =~ /bootstrap$/) {
        require XSLoader;
        return XSLoader::load(__PACKAGE__);
    }
    die "cannot load symbol $AUTOLOAD\n";
}

package LMX::Common::Archive;

# A tar.gz reader object for the archive at $path, or undef.
sub new {
    my ($path) = @_;
    return LMX::Common::Archive::Tar::new($path);
}

1;
