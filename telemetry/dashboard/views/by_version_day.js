function (doc) {
  if (typeof doc.type !== 'string' || typeof doc.timestamp !== 'number') return;
  var application = doc.application || {};
  var version = doc.applicationVersion || application.version || 'unknown';
  emit([String(version), new Date(doc.timestamp).toISOString().slice(0, 10)], null);
}
