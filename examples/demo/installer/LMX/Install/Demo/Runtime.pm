package LMX::Install::Demo::Runtime;

# The runtime's own copy in the installed tree, so that the uninstaller
# runs from there: the library, the installer's module archive and the
# start-up modules go to TARGET/install (with whatever shared libraries and
# module trees the kit carries), the uninstall launcher beside the
# product's programs. The launcher finds the library in ../install/ and
# marks the run as using the installed runtime.
use strict;
use warnings;
use LMX::Install::Demo::Failure qw(check);
use LMX::Install::Demo::Files qw(make_dirs copy_file tree_files);
use LMX::Install::Demo::Product;

my %PRODUCT = %LMX::Install::Demo::Product::PRODUCT;

# The runtime's files in KIT, relative to it: lmxrun.so and LMXINST.TGZ at
# its top, and the Perl modules and shared objects at its top and in its
# directories (start-up modules, auto/ trees, a portable kit's libraries).
# An installed tree that lies in the kit (TARGET itself, or one holding an
# installation record) is none of it.
sub kit_files {
    my ($kit, $target) = @_;
    my $skip = sub {
        my ($dir) = @_;
        return "$kit/$dir" eq $target || -e "$kit/$dir/$PRODUCT{record}";
    };
    return grep { /^(?:lmxrun\.so|LMXINST\.TGZ)$/ || /\.(?:pm|pl|al|ix|bs|so(?:\.[\d.]+)?)$/ }
           tree_files($kit, $skip);
}

# The copy as [from, to, mode] for a target directory TARGET.
sub plan {
    my ($kit, $target) = @_;
    die "the kit has no uninstall launcher $kit/rynuninst\n" unless -f "$kit/rynuninst";
    my @plan = map { ["$kit/$_", "$target/$PRODUCT{runtime_dir}/$_", (stat "$kit/$_")[2] & 07777] }
               kit_files($kit, $target);
    return (@plan, ["$kit/rynuninst", "$target/$PRODUCT{uninstaller}", 0755]);
}

# The bytes that the copy takes.
sub size {
    my ($kit, $target) = @_;
    my $bytes = 0;
    $bytes += -s $_->[0] for plan($kit, $target);
    return $bytes;
}

# The files of the copy that TARGET holds already.
sub in_the_way {
    my ($kit, $target) = @_;
    return grep { lstat $_ } map { $_->[1] } plan($kit, $target);
}

# Copies the runtime from KIT into TARGET, noting each file in JOURNAL.
sub install {
    my ($kit, $target, $journal) = @_;
    for my $step (plan($kit, $target)) {
        check();
        my ($from, $to, $mode) = @$step;
        (my $dir = $to) =~ s{/[^/]+\z}{};
        make_dirs($dir, $journal);
        $journal->add(runtime => $to);
        copy_file($from, $to, $mode);
    }
}

1;
