// Shows whether the API answers.
fetch('/api/health')
  .then((r) => r.json())
  .then((body) => { document.getElementById('health').textContent = 'Server status: ' + body.status; })
  .catch(() => { document.getElementById('health').textContent = 'The server does not answer.'; });
