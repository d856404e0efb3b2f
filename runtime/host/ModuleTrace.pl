# The host's tracing mode, evaluated by lmxrun_main right after the
# bootstrap script. With LMX_TRACE_MODULES naming a file, the module files
# that the run read from directories (the host's Perl library, the kit
# directory) and the shared objects loaded for extension modules (by the
# dynamic loader or by the bridges of the static module table) are
# appended to that file when the interpreter ends, one per line:
#
#   module<TAB>File/Spec.pm<TAB>/usr/share/perl/5.36/File/Spec.pm
#   object<TAB>/usr/lib/x86_64-linux-gnu/perl/5.36/auto/POSIX/POSIX.so
#
# Modules read out of archives are not listed. This END block is the
# interpreter's first, so it runs after every other one. A relative file
# name is taken in the caller's directory. The kit builder (lmxkit) reads
# the file.

package LMX::Common::ModuleTrace;

sub write_trace {
    my ($file) = @_;
    my $caller_dir = $KALDOR::Install::Config{CallerDir};
    $file = "$caller_dir/$file" unless $file =~ m{^/} || !defined $caller_dir;
    my $out;
    unless (open($out, '>>', $file)) {
        print STDERR "cannot write the module trace $file: $!\n";
        return;
    }
    for my $name (sort keys %INC) {
        my $path = $INC{$name};
        print {$out} "module\t$name\t$path\n" if defined $path && $path =~ m{/\Q$name\E\z};
    }
    print {$out} "object\t$_\n" for @LMX::Common::bridged_objects, @DynaLoader::dl_shared_objects;
    close $out or print STDERR "cannot write the module trace $file: $!\n";
}

END {
    my $file = $ENV{LMX_TRACE_MODULES};
    write_trace($file) if defined $file && $file ne '';
}

1;
