#!/usr/bin/perl
# Debian's Net::SNPP::Server on 127.0.0.1 at a port the system picks; every accepted page is appended
# to <outfile> as "<pager id>\t<pin>\t<message>". Prints "READY <port>" once it listens.
use strict;
use warnings;
use IO::Handle;
use Net::SNPP::Server;
use Socket qw(sockaddr_in);

my ($outfile) = @ARGV;
# Port 0: the socket stays bound from the start, so no other program can take the port.
my $server = Net::SNPP::Server->new(Port => 0, BindTo => '127.0.0.1');
my ($port) = sockaddr_in(getsockname($server->{sock}));
open(my $out, '>>', $outfile) or die "cannot open $outfile: $!";
$out->autoflush(1);
$server->callback('write_log', sub { });
$server->callback('process_page', sub {
    my ($pager, $page, $results) = @_;
    print $out join("\t", $pager->[0], $pager->[1], $page->{mess}), "\n";
    push @$results, [$pager, $page];
    return 1;
});
STDOUT->autoflush(1);
print "READY $port\n";
while (1) {
    my $client = $server->client();
    $server->handle_client($client);
    close($client);
}
