// Pelorin's side of the page channel. It runs inside one closure right after Qt's
// qwebchannel.js, so its names stay out of the page's globals. `channel` is the PageChannel
// object as the page sees it.
var channel = null;
var waiting = []; // calls made before the channel is up
var parsed = document.readyState !== 'loading';
var parse = JSON.parse, stringify = JSON.stringify, resolve = Promise.resolve.bind(Promise);
function call(name, args) {
    if (channel)
        channel[name].apply(channel, args);
    else
        waiting.push([name, args]);
}
function reportReady() {
    if (channel && parsed)
        channel.documentReady(typeof PEL_listener === 'function',
                              typeof PEL_receive === 'function');
}
function messageOf(error) {
    return String(error instanceof Error ? error.message : error);
}
function send(value) {
    var json = stringify(value);
    if (typeof json !== 'string')
        throw new TypeError('pelorin.send: ' + typeof value + ' cannot be sent as JSON');
    call('publish', [json]);
}
// Called by Pelorin with one request as JSON text; answers it when its caller waits.
function receive(text, wantsAnswer) {
    var request = parse(text);
    var id = request.id;
    var result;
    try {
        result = PEL_receive(request);
    } catch (error) {
        if (!wantsAnswer)
            throw error;
        call('fail', [id, messageOf(error)]);
        return;
    }
    if (!wantsAnswer)
        return;
    resolve(result).then(function (value) {
        var json;
        try {
            json = stringify(value === undefined ? null : value);
        } catch (error) {
            call('fail', [id, messageOf(error)]);
            return;
        }
        call('answer', [id, typeof json === 'string' ? json : 'null']);
    }, function (error) {
        call('fail', [id, messageOf(error)]);
    });
}
var pelorin = {};
Object.defineProperty(pelorin, 'send', {value: send, enumerable: true});
Object.defineProperty(pelorin, 'receive', {value: receive});
Object.defineProperty(window, 'pelorin', {value: Object.freeze(pelorin), enumerable: true});
new QWebChannel(qt.webChannelTransport, function (webChannel) {
    channel = webChannel.objects.pelorin;
    waiting.splice(0).forEach(function (c) { channel[c[0]].apply(channel, c[1]); });
    reportReady();
});
if (!parsed) {
    document.addEventListener('DOMContentLoaded', function () {
        parsed = true;
        reportReady();
    });
}
