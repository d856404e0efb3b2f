# The data dumper: writing and reading back a structure of 100,000 elements
# against Data::Dumper and eval, both in the same interpreter.
use strict;
use warnings;
use Bench qw(compare temp_dir perl_inc);

my $kit = shift or die "usage: datadumper.pl KIT\n";
my $dir = temp_dir();
my $script = "$dir/dumper.pl";
open(my $fh, '>', $script) or die "$script: $!\n";
print {$fh} <<'PL';
use Time::HiRes qw(time);
use Data::Dumper;
bootstrap KALDOR::Install::DataDumper;
die "Data::Dumper runs without its native half\n" if $Data::Dumper::Useperl || !Data::Dumper->can('Dumpxs');
$Data::Dumper::Indent = 0;
$Data::Dumper::Terse = 1;

# 10,000 records of 10 elements each: a hash, six values, two more in an
# array and the string behind a scalar reference.
my @data = map {
    my $note = "note $_; (see above)";
    { id => $_, name => "item \"$_\" (copy)", path => "C:\\kit\\file$_.txt",
      tags => ['plain', "b($_)"], note => \$note, flag => undef }
} 1 .. 10_000;

sub best {
    my ($code) = @_;
    my $best;
    for (1 .. 5) {
        my $start = time;
        $code->();
        my $t = time - $start;
        $best = $t if !defined $best || $t < $best;
    }
    return $best;
}
my ($text, $back, $peer_text, $peer_back) = ('');
my $dump = best(sub { $text = ''; KALDOR::Install::DataDumper::dumpElement(\@data, \$text) });
my $read = best(sub { $back = KALDOR::Install::DataDumper::getElement(\$text) });
my $peer_dump = best(sub { $peer_text = Dumper(\@data) });
my $peer_read = best(sub { $peer_back = eval $peer_text });
die "round trip failed\n"
  unless $back->[4711]{name} eq $data[4711]{name} && ${ $back->[9]{note} } eq ${ $data[9]{note} }
  && $peer_back->[4711]{name} eq $data[4711]{name};
print "dump $dump\nread $read\npeer_dump $peer_dump\npeer_read $peer_read\n";
0;
PL
close $fh;

my $inc = perl_inc();
my %t = `'$kit/ryninst' --script '$script' --inc '$inc'` =~ /^(\w+) (\S+)$/mg;
die "the data dumper benchmark failed\n" unless defined $t{dump} && defined $t{peer_read};
compare(what => 'dumpElement, 100,000 elements', ours_time => $t{dump},
        peer => 'Data::Dumper (Indent 0)', peer_time => $t{peer_dump});
compare(what => 'getElement, 100,000 elements', ours_time => $t{read},
        peer => 'eval of the Dumper text', peer_time => $t{peer_read});
compare(what => 'write and read back, 100,000 elements', ours_time => $t{dump} + $t{read},
        peer => 'Data::Dumper and eval', peer_time => $t{peer_dump} + $t{peer_read});
